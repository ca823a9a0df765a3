// One copy of the GUI per user session: the first start holds a lock file and
// listens on a local socket; a later start asks it to come to the front and
// then exits.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace quelmar::ui {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // directory empty: $XDG_RUNTIME_DIR/quelmar, or <temp>/quelmar-<uid>.
  explicit SingleInstance(QString directory = {}, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is the instance (it keeps the lock for the life
  // of this object). False when another copy runs: that copy has then been
  // asked to activate.
  bool Claim();

  const QString& Directory() const { return directory_; }
  static QString DefaultDirectory();

 signals:
  // A later start asked this, the first copy, to show itself.
  void activateRequested();

 private:
  bool TakeLock();
  void Listen();
  void OnNewConnection();
  void ReadRequest(QLocalSocket* socket);
  bool SendActivate();

  QString directory_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;
  bool claimed_ = false;
};

}  // namespace quelmar::ui
