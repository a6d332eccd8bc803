// CSortedMap: a map from UTF-16 key to value with a capacity fixed at
// construction, kept as two parallel arrays in ascending order of the keys
// (exact code-unit comparison: case-sensitive, no locale).
//
// - Set(key, value) replaces the value of an existing key; a new key goes to
//   its sorted place while the map holds fewer entries than its capacity.
//   What happens to a new key when the map is full is the map's rule,
//   chosen at construction:
//     kDropNew     the new key is silently dropped (the default);
//     kKeepLowest  a new key below the highest key goes to its sorted place
//                  and the highest key is evicted; a new key above the
//                  highest is dropped.  However the keys come in, the map
//                  then holds exactly the lowest `capacity` keys offered
//                  since it was last emptied, so that every key up to its
//                  highest one is known to be there or absent.  The tree
//                  maps of the file systems rely on this.
// - Find is a binary search giving the index or -1.
// - KeyAt clamps its index into [0, Count() - 1] (an empty map gives the
//   empty key); ValueAt gives a default-constructed value for an index
//   outside [0, Count() - 1].
// - Copying copies every entry, the capacity and the rule.
//
// The storage for `capacity` entries is reserved at construction, so filling
// the map never allocates array storage.
//
// Thread safety: none; a map is used by one thread at a time.

#ifndef KELTOS3_SRC_COMMON_SORTED_MAP_H_
#define KELTOS3_SRC_COMMON_SORTED_MAP_H_

#include <algorithm>
#include <string>
#include <vector>

// What Set does with a new key when the map is full (see above).
enum class SortedMapWhenFull { kDropNew, kKeepLowest };

template <typename V>
class CSortedMap {
 public:
  explicit CSortedMap(int capacity = 100,
                      SortedMapWhenFull when_full = SortedMapWhenFull::kDropNew)
      : m_iCapacity(capacity > 0 ? capacity : 0), m_whenFull(when_full) {
    m_keys.reserve(static_cast<size_t>(m_iCapacity));
    m_values.reserve(static_cast<size_t>(m_iCapacity));
  }

  CSortedMap(const CSortedMap& other)
      : m_iCapacity(other.m_iCapacity), m_whenFull(other.m_whenFull) {
    m_keys.reserve(static_cast<size_t>(m_iCapacity));
    m_values.reserve(static_cast<size_t>(m_iCapacity));
    m_keys = other.m_keys;
    m_values = other.m_values;
  }

  CSortedMap& operator=(const CSortedMap& other) {
    if (this == &other) return *this;
    m_iCapacity = other.m_iCapacity;
    m_whenFull = other.m_whenFull;
    m_keys.clear();
    m_values.clear();
    m_keys.reserve(static_cast<size_t>(m_iCapacity));
    m_values.reserve(static_cast<size_t>(m_iCapacity));
    m_keys = other.m_keys;
    m_values = other.m_values;
    return *this;
  }

  int Count() const { return static_cast<int>(m_keys.size()); }
  int Capacity() const { return m_iCapacity; }

  // Inserts or replaces.  Returns false when the map, being full, dropped a
  // key: the new one, or the highest one it evicted for it.
  bool Set(const std::u16string& key, const V& value) {
    auto it = std::lower_bound(m_keys.begin(), m_keys.end(), key);
    const auto index = it - m_keys.begin();
    if (it != m_keys.end() && *it == key) {
      m_values[static_cast<size_t>(index)] = value;
      return true;
    }
    if (Count() >= m_iCapacity) {
      if (m_whenFull != SortedMapWhenFull::kKeepLowest || it == m_keys.end()) {
        return false;
      }
      m_keys.pop_back();
      m_values.pop_back();
      it = m_keys.begin() + index;
      m_keys.insert(it, key);
      m_values.insert(m_values.begin() + index, value);
      return false;
    }
    m_keys.insert(it, key);
    m_values.insert(m_values.begin() + index, value);
    return true;
  }

  // Index of `key`, or -1.
  int Find(const std::u16string& key) const {
    const auto it = std::lower_bound(m_keys.begin(), m_keys.end(), key);
    if (it == m_keys.end() || *it != key) return -1;
    return static_cast<int>(it - m_keys.begin());
  }

  // The key at `index` clamped into [0, Count() - 1]; empty for an empty map.
  std::u16string KeyAt(int index) const {
    if (m_keys.empty()) return std::u16string();
    if (index < 0) index = 0;
    if (index >= Count()) index = Count() - 1;
    return m_keys[static_cast<size_t>(index)];
  }

  // The value at `index`, or a default value outside [0, Count() - 1].
  V ValueAt(int index) const {
    if (index < 0 || index >= Count()) return V();
    return m_values[static_cast<size_t>(index)];
  }

  // The value of `key`, or a default value when it is absent.
  V Lookup(const std::u16string& key) const { return ValueAt(Find(key)); }

  // Removes every entry; the capacity and the reserved storage stay.
  void RemoveAll() {
    m_keys.clear();
    m_values.clear();
  }

 private:
  int m_iCapacity;
  SortedMapWhenFull m_whenFull;
  std::vector<std::u16string> m_keys;
  std::vector<V> m_values;
};

#endif  // KELTOS3_SRC_COMMON_SORTED_MAP_H_
