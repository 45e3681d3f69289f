// The correlators' rate mechanisms, all counted in whole seconds:
// - KeyThrottle: per key, the last time an event was let through; an event
//   passes when enough time has gone by since.
// - WindowCount: how many events happened within the last W seconds.
// - RecentTimes: the times of the N most recent events, in a ring.
// Each object belongs to one correlator thread, so none takes a lock.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>

// Per-key throttle: a table of the last time an event was let through for
// each key. A key seen for the first time has time 0, so its first event
// always passes.
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

// Events counted over a sliding window of `seconds`. The events of one second
// share one entry, so a flood costs no memory beyond one entry per second of
// the window. Times are expected to grow; a time that steps back starts an
// entry of its own behind the newer ones and leaves once the entries before
// it have.
class WindowCount {
 public:
  explicit WindowCount(int64_t seconds) : seconds_(seconds) {}

  // Counts one event at `now`, drops what is more than the window older than
  // `now` (an entry exactly the window old stays) and returns the events left.
  uint64_t Add(int64_t now) {
    if (entries_.empty() || entries_.back().first != now) {
      entries_.emplace_back(now, 0);
    }
    entries_.back().second++;
    total_++;
    while (entries_.front().first < now - seconds_) {
      total_ -= entries_.front().second;
      entries_.pop_front();
    }
    return total_;
  }
  void Clear() {
    entries_.clear();
    total_ = 0;
  }

 private:
  int64_t seconds_;
  std::deque<std::pair<int64_t, uint64_t>> entries_;  // (second, events), oldest first
  uint64_t total_ = 0;
};

// The times of the `Slots` most recent events. Time 0 marks an empty slot, so
// the clock used must be past 0 (a monotonic or wall clock in seconds is).
template <uint32_t Slots>
class RecentTimes {
 public:
  void Add(int64_t time) {
    times_[next_] = time;
    next_ = (next_ + 1) % Slots;
  }
  // The n-th most recent time (1 is the newest), for 1 <= n <= Slots; 0 when
  // fewer than n events were added.
  int64_t NthNewest(uint32_t n) const { return times_[(next_ + Slots - n) % Slots]; }

 private:
  uint32_t next_ = 0;  // the slot the next event goes to
  std::array<int64_t, Slots> times_{};
};
