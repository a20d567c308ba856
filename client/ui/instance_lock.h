// The single-instance marker "CLIENT_EVENT": a lock file in the user's
// runtime directory. The lock file records the holder's process id, so a
// copy that crashed leaves nothing that blocks the next start.
#ifndef TERVANE_CLIENT_UI_INSTANCE_LOCK_H_
#define TERVANE_CLIENT_UI_INSTANCE_LOCK_H_

#include <QLockFile>
#include <QString>
#include <memory>

namespace tervane {

inline constexpr const char kInstanceMarkerName[] = "CLIENT_EVENT";

// The user's runtime directory (QStandardPaths::RuntimeLocation), or the
// temporary directory when there is none.
QString DefaultInstanceLockDirectory();

// Not thread-safe; the UI thread owns it. The lock is held from a successful
// TryAcquire until destruction.
class InstanceLock {
 public:
  // `directory` empty means DefaultInstanceLockDirectory().
  explicit InstanceLock(const QString& directory = QString());
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this process now holds the marker (or already held it); false
  // when a running copy holds it, or the lock file cannot be created.
  bool TryAcquire();
  bool held() const { return held_; }
  // True when the last failed TryAcquire met a running holder (as opposed to
  // a directory where no lock file can be made).
  bool held_elsewhere() const { return held_elsewhere_; }
  const QString& path() const { return path_; }

 private:
  QString path_;
  std::unique_ptr<QLockFile> file_;
  bool held_ = false;
  bool held_elsewhere_ = false;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_UI_INSTANCE_LOCK_H_
