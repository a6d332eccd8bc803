// INI files as a user (or anyone who can write them) leaves them: every
// setting reads to a defined value, within the bounds its getter promises,
// and the hex-coded credentials never fill more than the buffer given.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/profile.h"
#include "settings/ini.h"
#include "settings/s3_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const auto env = fuzzsupport::HermeticEnv(&content);
  const platform::ScopedEnvOverride override(env.get());

  CS3Config config;
  FUZZ_CHECK(config.GetAccount().size() <= 260);
  FUZZ_CHECK(config.GetPassword().size() <= 260);
  for (const std::u16string& text :
       {config.GetBucket(), config.GetDataBucket(), config.GetProxyServer(),
        config.GetProxyUserName(), config.GetProxyPassword(), config.GetCACertFile()}) {
    FUZZ_CHECK(text.size() <= 259);
  }
  config.GetBufferSize();
  config.GetUploadWidth();
  config.GetDownloadWidth();
  FUZZ_CHECK(config.UseProxy() == 0 || config.UseProxy() == 1);
  FUZZ_CHECK(config.IsBandwidthLimited() == 0 || config.IsBandwidthLimited() == 1);
  FUZZ_CHECK(config.GetPort() >= 1 && config.GetPort() <= 65535);
  FUZZ_CHECK(!config.GetHost().empty());
  FUZZ_CHECK(config.GetRequestPause() >= 0);

  CIni ini;
  ini.SetPathName(config.GetIniPath().c_str());
  const std::u16string whole = ini.GetString(u"ONLINE", u"PASSWORD", nullptr);
  FUZZ_CHECK(whole.size() <= platform::kMaxProfileBytes);
  const std::uint32_t pairs = ini.GetHexBlock(u"ONLINE", u"ACCOUNT", nullptr, 0, 0);
  const std::uint32_t want = size > 0 ? data[0] % 16 : 0;
  // One spare byte keeps the buffer non-null when `want` is 0: a null
  // buffer asks for the size instead.
  std::vector<std::uint8_t> out(want + 1);
  const std::uint32_t got = ini.GetHexBlock(u"ONLINE", u"ACCOUNT", out.data(), want, 1);
  FUZZ_CHECK(got <= want);
  FUZZ_CHECK(got <= pairs);

  // A value cut to the buffer, always terminated.
  for (const std::uint32_t capacity : {1u, 2u, 7u}) {
    std::u16string buffer(capacity, u'X');
    const std::uint32_t n = platform::GetPrivateProfileString(
        u" online ", u"quexbucket", u"default ", buffer.data(), capacity, config.GetIniPath());
    FUZZ_CHECK(n < capacity);
    FUZZ_CHECK(buffer[n] == u'\0');
  }
  return 0;
}
