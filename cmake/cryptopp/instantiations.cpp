// What the partial Crypto++ build needs from integer.cpp and dll.cpp, which
// it leaves out because they pull in the public-key code: the explicit
// instantiations of the parameter and sink templates the headers declare
// extern, and the 64-bit IntToString specialisation used in error texts.
#define CRYPTOPP_MANUALLY_INSTANTIATE_TEMPLATES
#include "pch.h"
#include "algparam.h"
#include "filters.h"
#include "misc.h"

NAMESPACE_BEGIN(CryptoPP)

// Digits of `value` in `base`; the high bit of `base` asks for upper-case
// digits, as with the other IntToString overloads.
template <> CRYPTOPP_DLL
std::string IntToString<word64>(word64 value, unsigned int base)
{
	const unsigned int kUpperCase = 1U << 31;
	const char letter = (base & kUpperCase) ? 'A' : 'a';
	base &= ~kUpperCase;
	if (value == 0)
		return "0";
	std::string result;
	while (value > 0)
	{
		const unsigned int digit = static_cast<unsigned int>(value % base);
		result.insert(result.begin(),
		              static_cast<char>(digit < 10 ? '0' + digit : letter + digit - 10));
		value /= base;
	}
	return result;
}

NAMESPACE_END
