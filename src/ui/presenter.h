#pragma once
// The main window's behaviour apart from its widgets: a press of a button becomes a request to
// the engine by the rules of the address box, and each outcome becomes the log box's report (the
// query of the address also puts the address found into the address box). The start of a
// measurement shows "测试中..." until its report.

#include <functional>

#include "engine/engine.h"
#include "ui/window_texts.h"

namespace karvello {

class Presenter {
 public:
  // The engine and the texts must outlive the presenter, which takes the engine's handlers.
  Presenter(Engine& engine, WindowTexts& texts);
  ~Presenter();
  Presenter(const Presenter&) = delete;
  Presenter& operator=(const Presenter&) = delete;

  // A press of the button of `operation`.
  void Press(Operation operation);

  // Each outcome after it is shown, and the engine's progress: for the window's progress bar and
  // for the record.
  void SetOnOutcome(Engine::OutcomeHandler handler) { onOutcome_ = std::move(handler); }
  void SetOnProgress(Engine::ProgressHandler handler) { onProgress_ = std::move(handler); }

  Engine& engine() { return engine_; }

 private:
  void Show(const Outcome& outcome);
  void Follow(const Progress& progress);

  Engine& engine_;
  WindowTexts& texts_;
  Engine::OutcomeHandler onOutcome_;
  Engine::ProgressHandler onProgress_;
};

}  // namespace karvello
