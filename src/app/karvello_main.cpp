// Karvello: sets up and tests a grounding-resistance online detector over a serial line; with
// --bus, surveys every detector on a line (the survey window, "总线巡检"). --port ADDRESS opens
// that line at start (COMn, a device path, rtu+tcp://HOST:PORT, tcp://HOST[:PORT]): the main
// window lists it first, before its ports. Each outcome is
// appended to the record in the user's data folder. Closing the window ends the program; the
// port is closed as the serial line goes. An
// interrupt or a termination signal ends it the same way.

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "process/stop_signals.h"
#include "record/record.h"
#include "serial/line_address.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "ui/application.h"
#include "ui/font_check.h"
#include "ui/main_window.h"
#include "ui/survey_window.h"

int main(int argc, char** argv) {
  karvello::StopSignals stop;  // before anything else, so that an early one is not lost
  QApplication app(argc, argv);
  karvello::DescribeApplication();
  stop.OnEach(&app, &QApplication::quit);
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Sets up and tests grounding-resistance online detectors over a serial line."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption busOption(
      QStringLiteral("bus"),
      QStringLiteral("Open the survey window (总线巡检): find every detector on the line, read "
                     "their voltages, measure their resistances, export the table."));
  parser.addOption(busOption);
  const QCommandLineOption portOption(
      QStringLiteral("port"),
      QStringLiteral("Open this line at start: COMn, a device path, rtu+tcp://HOST:PORT (a "
                     "transparent serial server) or tcp://HOST[:PORT] (a Modbus TCP gateway)."),
      QStringLiteral("ADDRESS"));
  parser.addOption(portOption);
  parser.process(app);
  std::optional<karvello::LineAddress> given;
  if (parser.isSet(portOption)) {
    std::string why;
    given = karvello::ParseLineAddress(parser.value(portOption).toStdString(), &why);
    if (!given) {
      std::fprintf(stderr, "karvello: --port: %s\n", why.c_str());
      return 2;
    }
  }

  karvello::SystemPortMap ports;
  karvello::QtSerialLine line(ports);
  karvello::Record record(karvello::DefaultRecordPath());  // outlives the window
  std::unique_ptr<QWidget> form;
  QString captions;
  if (parser.isSet(busOption)) {
    auto survey = std::make_unique<karvello::SurveyWindow>(line, ports);
    survey->SetRecord(&record);
    if (given) survey->OpenAddress(QString::fromStdString(given->text));
    captions = survey->Captions();
    form = std::move(survey);
  } else {
    auto main = std::make_unique<karvello::MainWindow>(line, ports);
    main->SetRecord(&record);
    if (given) main->OpenGiven(*given);
    captions = main->Captions();
    form = std::move(main);
  }
  if (!karvello::SomeFontDraws(captions)) {
    std::fprintf(stderr, "%s\n", qPrintable(karvello::MissingFontWarning()));
  }
  form->show();
  return QApplication::exec();
}
