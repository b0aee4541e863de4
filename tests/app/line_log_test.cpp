// The line's diagnostics, switched on the way support would ask a user to: through Qt's standard
// logging rules in the environment. Every frame out and in is printed with the time of day to
// the millisecond; without the rule nothing of the line is printed.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTime>

#include "support/child_program.h"

namespace {

struct ProbeRun {
  int status;
  QString out;
  QString err;
};

ProbeRun RunProbe(const QString& rules) {
  karvello::testing::ChildProgram::Options options;
  options.Unset(QStringLiteral("QT_LOGGING_RULES")).Unset(QStringLiteral("QT_MESSAGE_PATTERN"));
  if (!rules.isEmpty()) options.Set(QStringLiteral("QT_LOGGING_RULES"), rules);
  karvello::testing::ChildProgram probe(QStringLiteral(LINE_LOG_PROBE), {}, options);
  const int status = probe.Finish();
  return {status, probe.Out(), probe.Err()};
}

TEST(LineDiagnostics, TheLoggingRulePrintsEveryFrameWithMilliseconds) {
  const QTime before = QTime::currentTime();
  const ProbeRun run = RunProbe(QStringLiteral("karvello.line.debug=true"));
  const QTime after = QTime::currentTime();
  ASSERT_EQ(run.status, 0) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains(QStringLiteral("电压 = 220伏"))) << run.out.toStdString();

  const QRegularExpression frame(
      QStringLiteral(
          "^karvello\\.line: (\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d) (out|in ) ([0-9A-F ]+)$"),
      QRegularExpression::MultilineOption);
  QStringList seen;
  QTime previous = before.addMSecs(-1);
  for (auto it = frame.globalMatch(run.err); it.hasNext();) {
    const auto m = it.next();
    const QTime at = QTime::fromString(m.captured(1), QStringLiteral("hh:mm:ss.zzz"));
    ASSERT_TRUE(at.isValid()) << m.captured(0).toStdString();
    // Printed at the moment, in order (a run across midnight would wrap; it takes a second).
    EXPECT_GE(at, previous) << m.captured(0).toStdString();
    EXPECT_LE(at, after.addMSecs(1)) << m.captured(0).toStdString();
    previous = at;
    seen << m.captured(2) + " " + m.captured(3);
  }
  EXPECT_EQ(seen, QStringList({"out 01 03 00 0F 00 01 B4 09", "in  01 03 02 00 DC B9 DD"}))
      << run.err.toStdString();
}

TEST(LineDiagnostics, OffUnlessAskedFor) {
  for (const QString& rules :
       {QString(), QStringLiteral("karvello.line.debug=false"), QStringLiteral("*.debug=false")}) {
    SCOPED_TRACE(rules.toStdString());
    const ProbeRun run = RunProbe(rules);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_FALSE(run.err.contains(QStringLiteral("karvello.line"))) << run.err.toStdString();
  }
}

}  // namespace
