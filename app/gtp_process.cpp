#include "app/gtp_process.h"

#include <stdexcept>

namespace kirobaku {

GtpProcess::GtpProcess(const std::vector<std::string>& args, QObject* parent) : QObject(parent) {
  if (args.empty()) throw std::runtime_error("コンピュータのコマンドが空です。");
  const std::string program = gtp::FindProgram(args[0]);
  if (program.empty()) {
    throw std::runtime_error("コンピュータのプログラム「" + args[0] + "」が見つかりません。");
  }
  QStringList arguments;
  for (std::size_t i = 1; i < args.size(); ++i)
    arguments << QString::fromStdString(args[i]);
  limit_.setSingleShot(true);
  connect(&limit_, &QTimer::timeout, this, [this] { fail(gtp::Outcome::kTimedOut, {}); });
  connect(&process_, &QProcess::readyReadStandardOutput, this, &GtpProcess::readOutput);
  connect(&process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
    ended(status == QProcess::NormalExit ? "終了コード " + std::to_string(code) : "異常終了");
  });
  connect(&process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) {
      ended(std::string(gtp::kNeverStarted) + "：" + process_.errorString().toStdString());
    }
  });
  process_.setStandardErrorFile(QProcess::nullDevice());
  process_.start(QString::fromStdString(program), arguments);
}

GtpProcess::~GtpProcess() {
  pending_.reset();
  process_.disconnect(this);
  if (process_.state() == QProcess::NotRunning) return;
  process_.kill();
  process_.waitForFinished(1000);
}

void GtpProcess::Close() {
  running_ = false;
  limit_.stop();
  pending_.reset();
  process_.kill();
}

void GtpProcess::fail(gtp::Outcome outcome, std::string text) {
  std::optional<Pending> pending = std::move(pending_);
  Close();
  if (pending) pending->done({outcome, std::move(text)});
}

void GtpProcess::Send(const std::string& command, gtp::Milliseconds limit, Done done) {
  if (!running_ || pending_) {
    // An engine that ended by itself (or never started) says so again.
    done({lost_.empty() ? gtp::Outcome::kNotRunning : gtp::Outcome::kDied, lost_});
    return;
  }
  pending_ = Pending{nextId_++, std::move(done)};
  process_.write(QByteArray::fromStdString(gtp::CommandLine(pending_->id, command)));
  limit_.start(static_cast<int>(std::min<gtp::Milliseconds::rep>(limit.count(), 1 << 30)));
}

void GtpProcess::readOutput() {
  const QByteArray bytes = process_.readAllStandardOutput();
  if (!running_) return;
  try {
    reader_.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (!pending_) {
      // Output nobody asked for is no reply of the protocol.
      if (!reader_.Pending().empty()) throw gtp::GtpGarbage("「" + reader_.Pending().substr(0, 60) + "」");
      return;
    }
    if (std::optional<gtp::Reply> reply = reader_.Take(pending_->id)) {
      answer(reply->success ? gtp::Outcome::kSuccess : gtp::Outcome::kFailure,
             std::move(reply->text));
    }
  } catch (const gtp::GtpGarbage& e) {
    fail(gtp::Outcome::kGarbage, e.what());
  }
}

void GtpProcess::ended(const std::string& how) {
  if (!running_) return;  // closed by this side
  // What the engine wrote before it ended may hold the reply.
  readOutput();
  if (!running_) return;
  lost_ = how;
  fail(gtp::Outcome::kDied, how);
}

void GtpProcess::answer(gtp::Outcome outcome, std::string text) {
  limit_.stop();
  if (!pending_) return;
  Done done = std::move(pending_->done);
  pending_.reset();
  done({outcome, std::move(text)});
}

namespace {

class ProcessHandle : public gtp::Channel {
 public:
  explicit ProcessHandle(GtpProcess* process) : process_(process) {}
  ~ProcessHandle() override {
    process_->Close();
    process_->deleteLater();
  }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  void Send(const std::string& command, gtp::Milliseconds limit, Done done) override {
    process_->Send(command, limit, std::move(done));
  }
  bool Running() const override { return process_->Running(); }
  void Close() override { process_->Close(); }

 private:
  GtpProcess* process_;
};

}  // namespace

std::unique_ptr<gtp::Channel> StartGtpProcess(const std::vector<std::string>& args, QObject* parent) {
  return std::make_unique<ProcessHandle>(new GtpProcess(args, parent));
}

}  // namespace kirobaku
