// CSortedMap: a map from UTF-16 key to value with a capacity fixed at
// construction, kept in ascending order of the keys (exact code-unit
// comparison: case-sensitive, no locale) and addressable both by key and
// by index in that order.
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
// - Find gives the index of a key or -1.
// - KeyAt clamps its index into [0, Count() - 1] (an empty map gives the
//   empty key); ValueAt gives a default-constructed value for an index
//   outside [0, Count() - 1].
// - Copying copies every entry, the capacity and the rule.
//
// Cost.  The entries live in a balanced search tree whose nodes count their
// subtrees, so Set, Find, KeyAt and ValueAt each take O(log n) and filling
// or walking a map of n entries O(n log n), whatever the order of the keys.
// Storage grows with the entries (one tree node each), not with the
// capacity: a map of a large capacity that holds few entries costs little.
//
// Thread safety: none; a map is used by one thread at a time.

#ifndef KELTOS3_SRC_COMMON_SORTED_MAP_H_
#define KELTOS3_SRC_COMMON_SORTED_MAP_H_

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>
#include <functional>
#include <iterator>
#include <string>

// What Set does with a new key when the map is full (see above).
enum class SortedMapWhenFull { kDropNew, kKeepLowest };

template <typename V>
class CSortedMap {
 public:
  explicit CSortedMap(int capacity = 100,
                      SortedMapWhenFull when_full = SortedMapWhenFull::kDropNew)
      : m_iCapacity(capacity > 0 ? capacity : 0), m_whenFull(when_full) {}

  CSortedMap(const CSortedMap& other)
      : m_iCapacity(other.m_iCapacity),
        m_whenFull(other.m_whenFull),
        m_entries(other.m_entries) {}

  CSortedMap& operator=(const CSortedMap& other) {
    if (this == &other) return *this;
    Tree copy(other.m_entries);
    m_entries.swap(copy);
    m_iCapacity = other.m_iCapacity;
    m_whenFull = other.m_whenFull;
    return *this;
  }

  int Count() const { return static_cast<int>(m_entries.size()); }
  int Capacity() const { return m_iCapacity; }

  // Inserts or replaces.  Returns false when the map, being full, dropped a
  // key: the new one, or the highest one it evicted for it.
  bool Set(const std::u16string& key, const V& value) {
    const auto found = m_entries.find(key);
    if (found != m_entries.end()) {
      found->second = value;
      return true;
    }
    if (Count() < m_iCapacity) {
      m_entries.insert(std::make_pair(key, value));
      return true;
    }
    if (m_whenFull != SortedMapWhenFull::kKeepLowest || m_entries.empty()) {
      return false;
    }
    auto highest = std::prev(m_entries.end());
    if (!(key < highest->first)) return false;
    m_entries.erase(highest);
    m_entries.insert(std::make_pair(key, value));
    return false;
  }

  // Index of `key`, or -1.
  int Find(const std::u16string& key) const {
    if (m_entries.find(key) == m_entries.end()) return -1;
    return static_cast<int>(m_entries.order_of_key(key));
  }

  // The key at `index` clamped into [0, Count() - 1]; empty for an empty map.
  std::u16string KeyAt(int index) const {
    if (m_entries.empty()) return std::u16string();
    if (index < 0) index = 0;
    if (index >= Count()) index = Count() - 1;
    return m_entries.find_by_order(static_cast<size_t>(index))->first;
  }

  // The value at `index`, or a default value outside [0, Count() - 1].
  V ValueAt(int index) const {
    if (index < 0 || index >= Count()) return V();
    return m_entries.find_by_order(static_cast<size_t>(index))->second;
  }

  // The value of `key`, or a default value when it is absent.
  V Lookup(const std::u16string& key) const {
    const auto found = m_entries.find(key);
    return found == m_entries.end() ? V() : found->second;
  }

  // Removes `key`; false when it is absent.
  bool Remove(const std::u16string& key) { return m_entries.erase(key) > 0; }

  // Removes every entry; the capacity and the rule stay.
  void RemoveAll() { m_entries.clear(); }

 private:
  // A red-black tree whose nodes know the size of their subtree: the order
  // statistics give the index of a key and the key at an index.
  using Tree = __gnu_pbds::tree<std::u16string, V, std::less<std::u16string>,
                                __gnu_pbds::rb_tree_tag,
                                __gnu_pbds::tree_order_statistics_node_update>;

  int m_iCapacity;
  SortedMapWhenFull m_whenFull;
  Tree m_entries;
};

#endif  // KELTOS3_SRC_COMMON_SORTED_MAP_H_
