#include "support/mqtt_broker.h"

#include "support/free_port.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace karvello::testing {
namespace {

using namespace std::chrono_literals;

pid_t Spawn(const std::vector<std::string>& arguments, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = LoopbackEndpoint(static_cast<std::uint16_t>(port));
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

void Require(bool holds, const std::string& what) {
  if (!holds) throw std::runtime_error(what);
}

}  // namespace

ScratchFolder::ScratchFolder() {
  std::string pattern = std::filesystem::temp_directory_path() / "karvello-mqtt-XXXXXX";
  Require(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int RunProgram(const std::vector<std::string>& arguments, const std::string& log) {
  const pid_t pid = Spawn(arguments, log);
  if (pid < 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const TestCertificates& TestCertificates::Get() {
  static ScratchFolder folder;
  static const TestCertificates made = [] {
    TestCertificates files{folder.File("ca.crt"), folder.File("server.crt"),
                           folder.File("server.key"), folder.File("other-host.crt"),
                           folder.File("other-ca.crt")};
    const std::string log = folder.File("openssl.log");
    const std::string ec = "ec";
    const std::string curve = "ec_paramgen_curve:prime256v1";
    std::ofstream(folder.File("server.ext")) << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    std::ofstream(folder.File("other.ext")) << "subjectAltName=DNS:other.example\n";
    const bool made =
        RunProgram({OPENSSL_EXECUTABLE, "req", "-x509", "-newkey", ec, "-pkeyopt", curve, "-nodes",
                    "-keyout", folder.File("ca.key"), "-out", files.caFile, "-days", "2", "-subj",
                    "/CN=Karvello test CA"},
                   log) == 0 &&
        RunProgram(
            {OPENSSL_EXECUTABLE, "req", "-newkey", ec, "-pkeyopt", curve, "-nodes", "-keyout",
             files.keyFile, "-out", folder.File("server.csr"), "-subj", "/CN=localhost"},
            log) == 0 &&
        RunProgram({OPENSSL_EXECUTABLE, "x509", "-req", "-in", folder.File("server.csr"), "-CA",
                    files.caFile, "-CAkey", folder.File("ca.key"), "-CAcreateserial", "-out",
                    files.certificateFile, "-days", "2", "-extfile", folder.File("server.ext")},
                   log) == 0 &&
        RunProgram(
            {OPENSSL_EXECUTABLE, "x509", "-req", "-in", folder.File("server.csr"), "-CA",
             files.caFile, "-CAkey", folder.File("ca.key"), "-CAcreateserial", "-out",
             files.otherHostCertificateFile, "-days", "2", "-extfile", folder.File("other.ext")},
            log) == 0 &&
        RunProgram({OPENSSL_EXECUTABLE, "req", "-x509", "-newkey", ec, "-pkeyopt", curve, "-nodes",
                    "-keyout", folder.File("other-ca.key"), "-out", files.otherCaFile, "-days", "2",
                    "-subj", "/CN=Another CA"},
                   log) == 0;
    Require(made, "openssl could not make the test certificates: see " + log);
    return files;
  }();
  return made;
}

MosquittoBroker::MosquittoBroker(BrokerSetup setup) : port_(FreePort()) {
  config_ = folder_.File("mosquitto.conf");
  std::ofstream config(config_);
  // Run as root (in a container), it would otherwise give up root for a user that cannot read
  // this folder.
  // The subscriber of the queue's test takes 10000 messages at once.
  config << "user root\nper_listener_settings false\n";
  if (setup.persistence) {
    config << "persistence true\npersistence_location " << folder_.path() << "/\n";
  } else {
    config << "persistence false\n";
  }
  config << "max_queued_messages 0\nlog_dest file " << folder_.File("broker.log") << "\n"
         << "log_type all\nconnection_messages true\n";
  if (setup.users.empty()) {
    config << "allow_anonymous true\n";
  } else {
    const std::string passwords = folder_.File("passwords");
    std::ofstream(passwords).close();
    for (const auto& [user, password] : setup.users) {
      Require(RunProgram({MOSQUITTO_PASSWD_EXECUTABLE, "-b", passwords, user, password}) == 0,
              "mosquitto_passwd failed");
    }
    config << "allow_anonymous false\npassword_file " << passwords << "\n";
  }
  config << "listener " << port_ << " 127.0.0.1\n";
  if (setup.tls) {
    const TestCertificates& certificates = TestCertificates::Get();
    tlsPort_ = FreePort();
    config << "listener " << tlsPort_ << " 127.0.0.1\n"
           << "cafile " << certificates.caFile << "\ncertfile "
           << (setup.tlsForAnotherHost ? certificates.otherHostCertificateFile
                                       : certificates.certificateFile)
           << "\nkeyfile " << certificates.keyFile << "\n";
  }
}

MosquittoBroker::~MosquittoBroker() {
  if (pid_ > 0) {
    Thaw();
    Kill();
  }
}

bool MosquittoBroker::Start() {
  if (pid_ > 0) return true;
  pid_ = Spawn({MOSQUITTO_EXECUTABLE, "-c", config_}, folder_.File("mosquitto.log"));
  if (pid_ < 0) return false;
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until) {
    if (Accepts(port_) && (tlsPort_ == 0 || Accepts(tlsPort_))) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

void MosquittoBroker::Stop() {
  Signal(SIGTERM);
  Reap();
}

void MosquittoBroker::Kill() {
  Signal(SIGKILL);
  Reap();
}

void MosquittoBroker::Freeze() {
  Signal(SIGSTOP);
  // The signal is only on its way when kill() returns: wait until the process is stopped.
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < until) {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string pid, name, state;
    stat >> pid >> name >> state;
    if (state == "T" || state == "t") return;
    std::this_thread::sleep_for(1ms);
  }
}
void MosquittoBroker::Thaw() {
  Signal(SIGCONT);
}

void MosquittoBroker::Signal(int number) {
  if (pid_ > 0) ::kill(pid_, number);
}

void MosquittoBroker::Reap() {
  if (pid_ <= 0) return;
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string MosquittoBroker::Log() const {
  std::ifstream file(folder_.File("broker.log"));
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

Subscriber::Subscriber(int port, std::vector<std::string> topics, std::string user,
                       std::string password, const std::string& lastingId)
    : topics_(std::move(topics)) {
  mosquitto_lib_init();
  mosq_ = lastingId.empty() ? mosquitto_new(nullptr, true, this)
                            : mosquitto_new(lastingId.c_str(), false, this);
  mosquitto_connect_callback_set(mosq_, &Subscriber::OnConnect);
  mosquitto_subscribe_callback_set(mosq_, &Subscriber::OnSubscribe);
  mosquitto_message_callback_set(mosq_, &Subscriber::OnMessage);
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  if (!user.empty()) mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
  Require(mosquitto_connect(mosq_, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS,
          "the subscriber cannot connect");
  mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, true);
  mosquitto_destroy(mosq_);
}

bool Subscriber::WaitSubscribed(int connections, std::chrono::milliseconds timeout) {
  const auto wanted = static_cast<int>(connections * topics_.size());
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return subscribed_ >= wanted; });
}

void Subscriber::Publish(const std::string& topic, const std::string& payload, bool retain) {
  mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                    1, retain);
}

std::vector<Received> Subscriber::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<Received> Subscriber::On(const std::string& topic) const {
  std::vector<Received> on;
  for (const Received& message : Messages()) {
    if (message.topic == topic) on.push_back(message);
  }
  return on;
}

std::size_t Subscriber::Count() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

void Subscriber::OnConnect(mosquitto* mosq, void* self, int code) {
  if (code != 0) return;
  for (const std::string& topic : static_cast<Subscriber*>(self)->topics_) {
    mosquitto_subscribe(mosq, nullptr, topic.c_str(), 1);
  }
}

void Subscriber::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
  auto* subscriber = static_cast<Subscriber*>(self);
  std::lock_guard lock(subscriber->mutex_);
  ++subscriber->subscribed_;
  subscriber->changed_.notify_all();
}

void Subscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* subscriber = static_cast<Subscriber*>(self);
  std::lock_guard lock(subscriber->mutex_);
  subscriber->messages_.push_back({message->topic,
                                   std::string(static_cast<const char*>(message->payload),
                                               static_cast<std::size_t>(message->payloadlen)),
                                   message->retain});
  subscriber->changed_.notify_all();
}

}  // namespace karvello::testing
