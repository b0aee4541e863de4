#pragma once
// A port probe for tests: the ports that open are given by their numbers.

#include <set>
#include <vector>

#include "serial/port_probe.h"

namespace karvello {

// Ports that open by their numbers, for tests; it records every number tried.
class FakePortProbe : public PortProbe {
 public:
  explicit FakePortProbe(std::set<int> opening = {}) : opening_(std::move(opening)) {}
  bool Opens(int number) override {
    tried_.push_back(number);
    return opening_.contains(number);
  }
  void SetOpening(std::set<int> opening) { opening_ = std::move(opening); }
  const std::vector<int>& Tried() const { return tried_; }
  void ForgetTried() { tried_.clear(); }

 private:
  std::set<int> opening_;
  std::vector<int> tried_;
};

}  // namespace karvello
