// Karvello: sets up and tests a grounding-resistance online detector over a serial line.
// Each outcome is appended to the record in the user's data folder.
// Closing the window ends the program; the port is closed as the serial line goes. An
// interrupt or a termination signal ends it the same way.

#include <QApplication>
#include <cstdio>

#include "record/record.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "ui/application.h"
#include "ui/font_check.h"
#include "ui/main_window.h"

#ifdef Q_OS_UNIX
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace {

// The signal handler writes a byte here; the event loop reads it and quits.
int quitPipe[2] = {-1, -1};

extern "C" void OnQuitSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(quitPipe[1], &byte, 1);
}

void CatchQuitSignals() {
  if (::pipe(quitPipe) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef Q_OS_UNIX
  CatchQuitSignals();  // before anything else, so that an early signal is not lost
#endif
  QApplication app(argc, argv);
  karvello::DescribeApplication();
#ifdef Q_OS_UNIX
  QSocketNotifier quit(quitPipe[0], QSocketNotifier::Read);
  QObject::connect(&quit, &QSocketNotifier::activated, &app, &QApplication::quit);
#endif
  karvello::SystemPortMap ports;
  karvello::QtSerialLine line(ports);
  karvello::Record record(karvello::DefaultRecordPath());  // outlives the window
  karvello::MainWindow form(line, ports);
  form.SetRecord(&record);
  if (!karvello::SomeFontDraws(form.Captions())) {
    std::fprintf(stderr, "%s\n", qPrintable(karvello::MissingFontWarning()));
  }
  form.show();
  return QApplication::exec();
}
