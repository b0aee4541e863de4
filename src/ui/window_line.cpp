#include "ui/window_line.h"

#include <QComboBox>
#include <utility>

namespace karvello {

WindowLine::WindowLine(SerialLine& line, PortMap& ports, PortProbe* probe)
    : ownProbe_(probe != nullptr ? nullptr : std::make_unique<QtPortProbe>(ports)),
      line_(line),
      ports_(ports),
      probe_(probe != nullptr ? *probe : *ownProbe_) {}

WindowLine::~WindowLine() = default;

void WindowLine::ListPorts() {
  list_.Probe(ports_, probe_, line_.Port());
  ShowPortList(list_, *box_);
  list_.Select(0);
}

void WindowLine::RefreshPorts() {
  ports_.Refresh();
  list_.Probe(ports_, probe_, line_.Port());
  ShowPortList(list_, *box_);
}

void WindowLine::OpenSelected() {
  ShowPortList(list_, *box_);
  const std::optional<LineAddress> address = list_.SelectedAddress();
  if (address && address->kind != LineAddress::Kind::kPortNumber) {
    if (line_.Open(*address)) openedName_ = address->text;
    return;
  }
  const int number = list_.SelectedNumber();
  if (number < kFirstPortNumber || number > kHighestPortNumber) {
    line_.Close();
    return;
  }
  if (line_.Open(number)) openedName_ = line_.Name();
}

void WindowLine::SetRecord(Record* record, Record::NoticeHandler tell) {
  if (record_ != nullptr) record_->SetOnNotice(nullptr);
  record_ = record;
  if (record_ != nullptr) record_->SetOnNotice(std::move(tell));
}

RecordRow WindowLine::Keep(const Outcome& outcome) {
  RecordRow row =
      RowOf(outcome, line_.IsOpen() ? line_.Name() : openedName_, QDateTime::currentDateTime());
  if (record_ != nullptr) record_->Append(row);
  return row;
}

}  // namespace karvello
