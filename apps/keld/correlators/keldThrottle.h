// Per-key throttles: a table of the last time (whole wall-clock seconds) an
// event was let through for each key. A key seen for the first time has time
// 0, so its first event always passes. Used by one correlator thread each, so
// a throttle takes no lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

template <typename Key>
class KeyThrottle {
 public:
  // Due when more than `seconds` have passed since the key's stored time.
  static KeyThrottle After(int64_t seconds) { return KeyThrottle(seconds + 1); }
  // Due when at least `seconds` have passed (a negative gap, after the clock
  // was stepped back, is never due).
  static KeyThrottle AtLeast(int64_t seconds) { return KeyThrottle(seconds); }

  // Whether an event for `key` is due at `now` (inserting the key with time 0
  // when absent). Changes no time.
  bool Due(const Key &key, int64_t now) { return now - times_[key] >= minGap_; }
  // Stored on post: when due, stores `now` and returns true.
  bool Pass(const Key &key, int64_t now) {
    if (!Due(key, now)) return false;
    times_[key] = now;
    return true;
  }
  // Stored on every observation: returns whether due, and stores `now` in any
  // case, so a key whose observations keep coming closer than the window
  // passes only once.
  bool PassAndTouch(const Key &key, int64_t now) {
    bool due = Due(key, now);
    times_[key] = now;
    return due;
  }
  // A key never seen passes at once, whatever the clock reads, and its time
  // is stored; later, as Pass.
  bool PassFirstOrDue(const Key &key, int64_t now) {
    auto [it, inserted] = times_.try_emplace(key, now);
    if (inserted) return true;
    if (now - it->second < minGap_) return false;
    it->second = now;
    return true;
  }
  void Set(const Key &key, int64_t time) { times_[key] = time; }
  bool Contains(const Key &key) const { return times_.count(key) != 0; }
  void Clear() { times_.clear(); }
  size_t Size() const { return times_.size(); }

 private:
  explicit KeyThrottle(int64_t minGap) : minGap_(minGap) {}
  int64_t minGap_;
  std::map<Key, int64_t> times_;
};

typedef KeyThrottle<std::string> TextThrottle;
typedef KeyThrottle<std::pair<std::string, std::string>> TextPairThrottle;
