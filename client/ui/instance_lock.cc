#include "client/ui/instance_lock.h"

#include <QDir>
#include <QStandardPaths>

namespace tervane {

QString DefaultInstanceLockDirectory() {
  const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (!runtime.isEmpty() && QDir().mkpath(runtime)) return runtime;
  return QDir::tempPath();
}

InstanceLock::InstanceLock(const QString& directory) {
  const QString dir = directory.isEmpty() ? DefaultInstanceLockDirectory() : directory;
  path_ = QDir(dir).filePath(QString::fromLatin1(kInstanceMarkerName));
  file_ = std::make_unique<QLockFile>(path_);
  // Only a holder that is no longer running makes the lock stale. Where the
  // file system offers no advisory lock on the file, the default 30-second
  // age limit would let a second copy take the marker from a first one that
  // has simply been running for a while.
  file_->setStaleLockTime(0);
}

InstanceLock::~InstanceLock() {
  if (held_) file_->unlock();
}

bool InstanceLock::TryAcquire() {
  if (held_) return true;
  held_elsewhere_ = false;
  if (file_->tryLock(0)) {
    held_ = true;
    return true;
  }
  held_elsewhere_ = file_->error() == QLockFile::LockFailedError;
  return false;
}

}  // namespace tervane
