#pragma once
// A real Mosquitto broker for the publisher's tests, run from a configuration the test writes
// (on 127.0.0.1, free ports), and a subscriber on it with a thread of its own, so that it hears
// the broker while the test holds the publisher's event loop still.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace karvello::testing {

// A folder of the test's own, removed with it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a program to its end, its output to `log`; its exit status (-1: it did not start).
int RunProgram(const std::vector<std::string>& arguments, const std::string& log = "/dev/null");

// A test CA and a server certificate it signed for localhost and 127.0.0.1, made with openssl
// once for the whole test program; besides, a certificate the same CA signed for another host
// (other.example) and a CA that signed neither.
struct TestCertificates {
  std::string caFile;
  std::string certificateFile;
  std::string keyFile;
  std::string otherHostCertificateFile;  // with keyFile
  std::string otherCaFile;
  static const TestCertificates& Get();
};

struct BrokerSetup {
  // Empty: anyone may connect. Otherwise only these (user, password).
  std::vector<std::pair<std::string, std::string>> users;
  bool tls = false;  // a TLS listener too, with TestCertificates
  bool tlsForAnotherHost = false;  // its certificate the one for other.example
  // Kept on disk across a stop (SIGTERM) and a start: the sessions of clients that asked for a
  // lasting one, their subscriptions and the messages waiting for them.
  bool persistence = false;
};

class MosquittoBroker {
 public:
  explicit MosquittoBroker(BrokerSetup setup = {});
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts it (again) on the same ports; true once it takes connections.
  bool Start();
  void Stop();  // SIGTERM, as a service stops it
  void Kill();  // SIGKILL: what it had read but not handled is lost
  void Freeze();
  void Thaw();
  bool Running() const { return pid_ > 0; }

  int port() const { return port_; }
  int tlsPort() const { return tlsPort_; }
  std::string Log() const;

 private:
  void Signal(int number);
  void Reap();

  ScratchFolder folder_;
  std::string config_;
  int port_;
  int tlsPort_ = 0;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained;
  bool operator==(const Received&) const = default;
};

// A client with its own network thread: it connects again on its own after an outage and
// subscribes each time. With `lastingId`, its session lasts (clean_session false, under that
// client id): a broker keeping it gives it, once back, what was published while it was away.
class Subscriber {
 public:
  Subscriber(int port, std::vector<std::string> topics, std::string user = {},
             std::string password = {}, const std::string& lastingId = {});
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Blocks (the test's event loop still) until it has subscribed to its topics on `connections`
  // connections in all (1: the first; 2: again after an outage).
  bool WaitSubscribed(int connections,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Publishes from the test, as another client would.
  void Publish(const std::string& topic, const std::string& payload, bool retain = false);

  std::vector<Received> Messages() const;
  std::vector<Received> On(const std::string& topic) const;
  std::size_t Count() const;

 private:
  static void OnConnect(mosquitto*, void* self, int code);
  static void OnSubscribe(mosquitto*, void* self, int, int, const int*);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  std::vector<std::string> topics_;
  mosquitto* mosq_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int subscribed_ = 0;
  std::vector<Received> messages_;
};

}  // namespace karvello::testing
