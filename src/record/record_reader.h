#pragma once
// The record read in the background: the rows of a period for some detectors, read on another
// thread while the asker goes on. One read at a time: a read asked for while another runs begins
// when that one ends, and the one it overtook is never delivered; a read called off is not
// delivered either. Rows made while a read is asked for (Keep) that the read did not reach are
// delivered with it, so that none is lost between the file and what is shown. Qt Core only: the
// survey window reads its period with it, and so may any other front end.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "record/record.h"

namespace karvello {

class RecordReader : public QObject {
  Q_OBJECT
 public:
  // What to read: the record's file, the period (both ends included) and the addresses.
  struct Request {
    QString path;
    QDateTime from, to;
    std::set<int> addresses;
  };
  // Asked as each read begins, so that it reads what is wanted then; none: there is nothing to
  // read, and `onNothing` is called instead.
  using Source = std::function<std::optional<Request>()>;

  explicit RecordReader(Source source, QObject* parent = nullptr);
  ~RecordReader() override;

  void SetOnRead(std::function<void(std::vector<RecordRow> rows)> handler);
  void SetOnNothing(std::function<void()> handler);

  // Asks for a read: begun now, or when the read under way ends.
  void Ask();
  // Calls off the read asked for: nothing is delivered for it.
  void CallOff();
  // A row made meanwhile, delivered with the read asked for unless it reached it already.
  void Keep(const RecordRow& row);
  // Whether a read is asked for and not yet delivered.
  bool Asked() const { return wanted_ != 0; }

 private:
  void Begin();

  Source source_;
  std::function<void(std::vector<RecordRow>)> onRead_;
  std::function<void()> onNothing_;
  int count_ = 0;         // of the reads asked for
  int wanted_ = 0;        // the number of the read to deliver; 0 for none
  bool running_ = false;  // a read is under way on another thread
  std::vector<RecordRow> kept_;
};

}  // namespace karvello
