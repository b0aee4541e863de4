#pragma once
// Debian's Chromium, headless, for the tests of the gateway's page; the target defines
// CHROMIUM_EXECUTABLE (empty where the build found none). A run that prints a page's DOM or
// takes its screenshot, and a page held open and asked about over the DevTools protocol on a
// pipe (--remote-debugging-pipe: no port opened), to see it change without a reload.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace karvello::testing {

#define KARVELLO_SKIP_WITHOUT_CHROMIUM()                                                      \
  do {                                                                                         \
    if (std::string_view(CHROMIUM_EXECUTABLE).empty()) GTEST_SKIP() << "chromium not found"; \
  } while (false)

// The options every run takes: no sandbox (tests may run as root), no GPU, a profile of its own.
inline QStringList ChromiumOptions(const QTemporaryDir& profile) {
  return {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
          QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
          QStringLiteral("--user-data-dir=") + profile.path()};
}

// One run of Chromium with `options` then `url`; its standard output (the DOM with --dump-dom).
inline std::string RunChromium(QStringList options, const QString& url,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  QTemporaryDir profile;
  QProcess chromium;
  chromium.start(QStringLiteral(CHROMIUM_EXECUTABLE), ChromiumOptions(profile) + options << url);
  if (!chromium.waitForFinished(static_cast<int>(timeout.count()))) {
    chromium.kill();
    chromium.waitForFinished(3000);
  }
  const std::string out = chromium.readAllStandardOutput().toStdString();
  for (int tries = 0; tries < 40 && !profile.remove(); ++tries) ::usleep(50'000);
  return out;
}

// A page kept open in headless Chromium, asked about over the DevTools protocol on a pipe.
class ChromiumPage {
 public:
  explicit ChromiumPage(const std::string& url) {
    int commands[2];
    int answers[2];
    if (::pipe(commands) != 0 || ::pipe(answers) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 3);
    posix_spawn_file_actions_adddup2(&actions, answers[1], 4);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> arguments{CHROMIUM_EXECUTABLE, "--remote-debugging-pipe"};
    for (const QString& option : ChromiumOptions(profile_)) arguments.push_back(option.toStdString());
    arguments.push_back("about:blank");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, CHROMIUM_EXECUTABLE, &actions, nullptr, argv.data(),
                                    environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(commands[0]);
    ::close(answers[1]);
    to_ = commands[1];
    from_ = answers[0];
    if (spawned != 0) {
      pid_ = 0;
      return;
    }
    const QJsonObject target = Call("Target.createTarget", {{"url", QString::fromStdString(url)}});
    const QJsonObject attached = Call(
        "Target.attachToTarget", {{"targetId", target["targetId"].toString()}, {"flatten", true}});
    session_ = attached["sessionId"].toString();
  }
  ~ChromiumPage() {
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    // Its helper processes may still be writing to the profile for a moment.
    for (int tries = 0; tries < 40 && !profile_.remove(); ++tries) ::usleep(50'000);
  }
  ChromiumPage(const ChromiumPage&) = delete;
  ChromiumPage& operator=(const ChromiumPage&) = delete;

  bool Open() const { return !session_.isEmpty(); }

  // The value of the JavaScript `expression` in the page, as text; empty when it fails.
  std::string Evaluate(const std::string& expression) {
    const QJsonObject result =
        Call("Runtime.evaluate",
             {{"expression", QString::fromStdString(expression)}, {"returnByValue", true}},
             session_);
    const QJsonValue value = result["result"].toObject()["value"];
    return value.isString() ? value.toString().toStdString()
                            : QJsonDocument(QJsonObject{{"v", value}}).toJson().toStdString();
  }

 private:
  // Sends a command and waits (10 s at most) for its result, passing over events.
  QJsonObject Call(const char* method, const QJsonObject& parameters,
                   const QString& session = {}) {
    QJsonObject message{{"id", ++id_}, {"method", method}, {"params", parameters}};
    if (!session.isEmpty()) message["sessionId"] = session;
    QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    bytes.append('\0');
    if (::write(to_, bytes.constData(), static_cast<std::size_t>(bytes.size())) != bytes.size()) {
      return {};
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      for (qsizetype end; (end = buffer_.indexOf('\0')) >= 0;) {
        const QJsonObject reply = QJsonDocument::fromJson(buffer_.left(end)).object();
        buffer_.remove(0, end + 1);
        if (reply["id"].toInt() == id_) return reply["result"].toObject();
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd readable{from_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[65536];
      const ssize_t got = ::read(from_, chunk, sizeof chunk);
      if (got <= 0) return {};
      buffer_.append(chunk, got);
    }
  }

  QTemporaryDir profile_;
  pid_t pid_ = 0;
  int to_ = -1;
  int from_ = -1;
  int id_ = 0;
  QString session_;
  QByteArray buffer_;
};

}  // namespace karvello::testing
