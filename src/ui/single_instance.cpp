#include "ui/single_instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <cstring>

namespace quelmar::ui {
namespace {

constexpr char kLockName[] = "/gui.lock";
constexpr char kSocketName[] = "/gui.sock";
constexpr char kActivate[] = "activate";
// How long a later start keeps trying while the first may still be starting.
constexpr int kConnectForMs = 3000;
constexpr int kRetryEveryMs = 100;
// A request is one short line; anything longer is not ours.
constexpr qint64 kMaxRequest = 64;

// The directory holds our lock and socket: it must be ours alone, as under
// /tmp anyone could have made it first.
bool MakePrivateDirectory(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
    qWarning("quelmar: cannot create %s: %s", native.constData(), std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    qWarning("quelmar: %s is not a directory of this user", native.constData());
    return false;
  }
  return true;
}

}  // namespace

SingleInstance::SingleInstance(QString directory, QObject* parent)
    : QObject(parent),
      directory_(directory.isEmpty() ? DefaultDirectory() : std::move(directory)) {}

SingleInstance::~SingleInstance() {
  // Close the socket before the lock goes, so a start that gets the lock
  // next never finds a live server on the path.
  if (server_ != nullptr) server_->close();
}

QString SingleInstance::DefaultDirectory() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) return runtime + QStringLiteral("/quelmar");
  return QDir::tempPath() + QStringLiteral("/quelmar-") + QString::number(::getuid());
}

bool SingleInstance::Claim() {
  if (claimed_) return true;
  if (!MakePrivateDirectory(directory_)) {
    // Better an unguarded program than none at all.
    claimed_ = true;
    return true;
  }
  if (!TakeLock()) {
    // Another copy holds the lock; it may not be listening yet.
    const QDeadlineTimer deadline(kConnectForMs);
    while (!SendActivate()) {
      if (deadline.hasExpired()) return false;
      QThread::msleep(kRetryEveryMs);
      // It may also have just exited, leaving the place to us.
      if (TakeLock()) break;
    }
    if (!claimed_) return false;
  }
  Listen();
  return true;
}

bool SingleInstance::TakeLock() {
  auto lock = std::make_unique<QLockFile>(directory_ + QLatin1String(kLockName));
  // A holder that died is recognised at once by its pid (and the program
  // name, against pid reuse). Age only matters for leftovers Qt cannot
  // judge by pid, e.g. written under another host name; a live holder is
  // safe from that as it also keeps an flock() on the file.
  lock->setStaleLockTime(30000);
  if (lock->tryLock(0)) {
    lock_ = std::move(lock);
    claimed_ = true;
    return true;
  }
  if (lock->error() == QLockFile::LockFailedError) return false;
  qWarning("quelmar: cannot lock %s; not checking for another copy",
           qPrintable(directory_ + QLatin1String(kLockName)));
  claimed_ = true;
  return true;
}

void SingleInstance::Listen() {
  const QString path = directory_ + QLatin1String(kSocketName);
  // Only the lock holder gets here, so a file on the path is a leftover.
  QLocalServer::removeServer(path);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
  if (!server_->listen(path)) {
    qWarning("quelmar: cannot listen on %s: %s", qPrintable(path),
             qPrintable(server_->errorString()));
  }
}

void SingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { ReadRequest(socket); });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // The request may have come with the connection.
    ReadRequest(socket);
  }
}

void SingleInstance::ReadRequest(QLocalSocket* socket) {
  while (socket->canReadLine()) {
    if (socket->readLine(kMaxRequest).trimmed() == kActivate) emit activateRequested();
  }
  if (socket->bytesAvailable() >= kMaxRequest) socket->abort();
}

bool SingleInstance::SendActivate() {
  QLocalSocket socket;
  socket.connectToServer(directory_ + QLatin1String(kSocketName));
  if (!socket.waitForConnected(kRetryEveryMs)) return false;
  socket.write(kActivate);
  socket.write("\n");
  socket.flush();
  socket.waitForBytesWritten(1000);
  socket.disconnectFromServer();
  return true;
}

}  // namespace quelmar::ui
