// An engine as a child process of the window (QProcess): commands are written
// at once and their replies arrive through the event loop, so the window goes
// on while the engine thinks. A reply that is late past its limit, output
// that is no reply and the end of the process answer the command in flight
// and leave the channel without its engine (see gtp::Channel).
#pragma once

#include <QObject>
#include <QProcess>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gtp/channel.h"
#include "gtp/gtp_protocol.h"

namespace kirobaku {

class GtpProcess : public QObject, public gtp::Channel {
 public:
  // Starts args[0] (found as gtp::FindProgram finds it) with the other
  // arguments. Throws std::runtime_error (Japanese) when there is no such program.
  explicit GtpProcess(const std::vector<std::string>& args, QObject* parent = nullptr);
  // Kills an engine still running (an engine ends with the window).
  ~GtpProcess() override;

  void Send(const std::string& command, gtp::Milliseconds limit, Done done) override;
  bool Running() const override { return running_; }
  void Close() override;

 private:
  struct Pending {
    std::int64_t id = 0;
    Done done;
  };
  void readOutput();
  void ended(const std::string& how);
  void answer(gtp::Outcome outcome, std::string text);
  // Answers the command in flight with a failure and closes the channel.
  void fail(gtp::Outcome outcome, std::string text);

  QProcess process_;
  QTimer limit_;
  bool running_ = true;
  std::string lost_;  // how the engine ended by itself, once it has
  std::int64_t nextId_ = 1;
  std::optional<Pending> pending_;
  gtp::ReplyReader reader_;
};

// Starts an engine process and gives the channel to it: dropping the channel
// closes the engine and deletes the process object later (deleteLater), so
// that its owner may drop it anywhere, also inside the channel's own answer.
std::unique_ptr<gtp::Channel> StartGtpProcess(const std::vector<std::string>& args, QObject* parent);

}  // namespace kirobaku
