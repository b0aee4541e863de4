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

int WindowLine::NumberInUse() const {
  if (!line_.IsOpen()) return 0;
  const std::optional<LineAddress> address = ParseLineAddress(line_.Name());
  return address ? address->number : 0;
}

void WindowLine::ListPorts() {
  list_.Probe(ports_, probe_, NumberInUse());
  ShowPortList(list_, *box_);
  list_.Select(0);
}

void WindowLine::RefreshPorts() {
  ports_.Refresh();
  list_.Probe(ports_, probe_, NumberInUse());
  ShowPortList(list_, *box_);
}

void WindowLine::OpenSelected() {
  ShowPortList(list_, *box_);
  // A numbered entry opens under its number's name ("COM3", however it was given).
  const int number = list_.SelectedNumber();
  const std::optional<LineAddress> address =
      number != 0 ? LineAddress::Port(number) : list_.SelectedAddress();
  if (!address) {
    line_.Close();
    return;
  }
  if (line_.Open(*address)) openedName_ = address->text;
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
