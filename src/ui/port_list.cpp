#include "ui/port_list.h"

#include <QWheelEvent>
#include <algorithm>
#include <chrono>
#include <cstdio>

namespace karvello {

void PortListModel::Probe(const PortMap& map, PortProbe& probe, int kept) {
  const int selectedNumber = SelectedNumber();
  const bool givenSelected = selected_ >= 0 && entries_[static_cast<std::size_t>(selected_)].given;
  std::vector<Entry> fresh;
  const int givenNumber = given_ ? given_->number : 0;  // 0 for a line that is no numbered port
  if (given_) {
    const std::string tooltip =
        givenNumber != 0 ? map.DevicePath(givenNumber).value_or(std::string()) : std::string();
    fresh.push_back({givenNumber, given_->text, tooltip, true});
  }
  // COM1 to COM16 are tried whether or not the map knows them; above them, only the ports that
  // exist (a USB adapter on Windows is often COM17 or higher).
  std::vector<int> numbers;
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) numbers.push_back(n);
  for (int n : map.Numbers()) {
    if (n > kLastPortNumber && n <= kHighestPortNumber) numbers.push_back(n);
  }
  // Every port but the one given and the one in use is tried, all at once where the probe can.
  std::vector<int> tried;
  for (int n : numbers) {
    if (n != givenNumber && n != kept) tried.push_back(n);
  }
  const std::vector<Probed> found = probe.TryAll(tried);
  late_.clear();
  std::size_t next = 0;
  for (int n : numbers) {
    if (n == givenNumber) continue;
    if (n == kept) {
      const auto old = std::find_if(entries_.begin(), entries_.end(),
                                    [n](const Entry& e) { return e.number == n; });
      if (old != entries_.end()) {
        // (No longer the line given: listed as its port.)
        fresh.push_back(old->given ? Entry{n, "COM" + std::to_string(n), old->tooltip} : *old);
        continue;
      }
    } else {
      const Probed result = found[next++];
      if (result == Probed::kTimedOut) late_.push_back(n);
      if (result != Probed::kOpens) continue;
    }
    fresh.push_back({n, "COM" + std::to_string(n), map.DevicePath(n).value_or(std::string())});
  }
  entries_ = std::move(fresh);
  const auto same = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return givenSelected ? e.given : !e.given && selectedNumber != 0 && e.number == selectedNumber;
  });
  selected_ = same == entries_.end() ? -1 : static_cast<int>(same - entries_.begin());
}

bool PortListModel::Select(int index) {
  if (index < 0 || index >= static_cast<int>(entries_.size())) return false;
  selected_ = index;
  if (onSelected_) onSelected_();
  return true;
}

std::optional<LineAddress> PortListModel::SelectedAddress() const {
  if (selected_ < 0) return std::nullopt;
  const Entry& entry = entries_[static_cast<std::size_t>(selected_)];
  if (entry.given) return given_;
  return LineAddress::Port(entry.number);
}

int PortListModel::SelectedNumber() const {
  if (selected_ < 0) return 0;
  return entries_[static_cast<std::size_t>(selected_)].number;
}

void PortListBox::showPopup() {
  emit aboutToShowPopup();
  QComboBox::showPopup();
}

void PortListBox::wheelEvent(QWheelEvent* event) {
  if (!hasFocus()) {
    event->ignore();
    return;
  }
  QComboBox::wheelEvent(event);
}

void ShowPortList(const PortListModel& model, QComboBox& combo) {
  const auto& entries = model.Entries();
  bool same = combo.count() == static_cast<int>(entries.size());
  for (int i = 0; same && i < combo.count(); ++i) {
    const auto& entry = entries[static_cast<std::size_t>(i)];
    same = combo.itemText(i).toStdString() == entry.text &&
           combo.itemData(i, Qt::ToolTipRole).toString().toStdString() == entry.tooltip;
  }
  if (!same) {
    combo.clear();
    for (const auto& entry : entries) {
      combo.addItem(QString::fromStdString(entry.text));
      combo.setItemData(combo.count() - 1, QString::fromStdString(entry.tooltip), Qt::ToolTipRole);
    }
  }
  combo.setCurrentIndex(model.SelectedIndex());
  QString tip = combo.currentData(Qt::ToolTipRole).toString();
  if (const std::string late = LateText(model.Late()); !late.empty()) {
    tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + QString::fromStdString(late);
  }
  combo.setToolTip(tip);
}

std::string LateText(const std::vector<int>& late) {
  if (late.empty()) return {};
  std::string ports;
  for (int n : late) ports += (ports.empty() ? "COM" : "、COM") + std::to_string(n);
  char bound[16];
  std::snprintf(bound, sizeof bound, "%g", std::chrono::duration<double>(kProbeBound).count());
  return ports + " 未在 " + bound + " 秒内打开，未列出";
}

}  // namespace karvello
