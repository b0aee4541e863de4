#include "record/record_reader.h"

#include <QFutureWatcher>
#include <QPromise>
#include <QThreadPool>
#include <algorithm>
#include <memory>
#include <utility>

namespace karvello {

RecordReader::RecordReader(Source source, QObject* parent)
    : QObject(parent), source_(std::move(source)) {}

RecordReader::~RecordReader() = default;

void RecordReader::SetOnRead(std::function<void(std::vector<RecordRow>)> handler) {
  onRead_ = std::move(handler);
}

void RecordReader::SetOnNothing(std::function<void()> handler) {
  onNothing_ = std::move(handler);
}

void RecordReader::Ask() {
  wanted_ = ++count_;
  if (!running_) Begin();
}

void RecordReader::CallOff() {
  count_++;  // a read still under way is delivered no more
  wanted_ = 0;
  kept_.clear();
}

void RecordReader::Keep(const RecordRow& row) {
  if (wanted_ != 0) kept_.push_back(row);
}

void RecordReader::Begin() {
  const std::optional<Request> request = source_();
  if (!request) {  // gone while the read before ran: none to read for
    CallOff();
    if (onNothing_) onNothing_();
    return;
  }
  const int number = wanted_;
  running_ = true;
  kept_.clear();  // what was made before is in the file now
  // The promise goes to the thread, its future to a watcher of the reader's: a reader gone
  // meanwhile is told nothing.
  auto promise = std::make_shared<QPromise<std::vector<RecordRow>>>();
  auto* watcher = new QFutureWatcher<std::vector<RecordRow>>(this);
  connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, number] {
    watcher->deleteLater();
    running_ = false;
    if (wanted_ == 0) return;  // called off meanwhile
    if (number != wanted_) {   // overtaken: the newer read begins now
      Begin();
      return;
    }
    if (watcher->future().resultCount() == 0) return;
    std::vector<RecordRow> rows = watcher->future().result();
    // The rows kept while it read that it did not reach.
    for (RecordRow& row : kept_) {
      if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(std::move(row));
    }
    wanted_ = 0;
    kept_.clear();
    if (onRead_) onRead_(std::move(rows));
  });
  watcher->setFuture(promise->future());
  QThreadPool::globalInstance()->start([promise, request = *request] {
    promise->start();
    promise->addResult(Record::Read(request.path, request.from, request.to, request.addresses));
    promise->finish();
  });
}

}  // namespace karvello
