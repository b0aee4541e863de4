#include "ui/presenter.h"

#include <string>

#include "engine/address_box.h"
#include "ui/log_texts.h"
#include "ui/reports.h"

namespace karvello {

Presenter::Presenter(Engine& engine, WindowTexts& texts) : engine_(engine), texts_(texts) {
  engine_.SetOnOutcome([this](const Outcome& outcome) { Show(outcome); });
  engine_.SetOnProgress([this](const Progress& progress) { Follow(progress); });
}

Presenter::~Presenter() {
  engine_.SetOnOutcome(nullptr);
  engine_.SetOnProgress(nullptr);
}

void Presenter::Press(Operation operation) {
  engine_.Start(RequestFromAddressBox(operation, texts_.AddressText()));
}

void Presenter::Show(const Outcome& outcome) {
  texts_.SetLogText(ReportText(outcome));
  if (outcome.operation == Operation::kQueryAddress && outcome.result == Result::kAnswered) {
    texts_.SetAddressText(std::to_string(outcome.value->number));
  }
  if (onOutcome_) onOutcome_(outcome);
}

void Presenter::Follow(const Progress& progress) {
  if (progress.operation == Operation::kQueryResistance && progress.sentStep == 0U) {
    texts_.SetLogText(std::string(text::kMeasuring));
  }
  if (onProgress_) onProgress_(progress);
}

}  // namespace karvello
