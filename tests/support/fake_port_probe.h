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
  // As the bounded probe answers: the `late` ports are said to have outlasted the bound.
  std::vector<Probed> TryAll(const std::vector<int>& numbers) override {
    std::vector<Probed> found = PortProbe::TryAll(numbers);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      if (late_.contains(numbers[i])) found[i] = Probed::kTimedOut;
    }
    return found;
  }
  void SetOpening(std::set<int> opening) { opening_ = std::move(opening); }
  void SetLate(std::set<int> late) { late_ = std::move(late); }
  const std::vector<int>& Tried() const { return tried_; }
  void ForgetTried() { tried_.clear(); }

 private:
  std::set<int> opening_;
  std::set<int> late_;
  std::vector<int> tried_;
};

}  // namespace karvello
