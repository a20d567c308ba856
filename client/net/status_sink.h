// Where the protocol library's helpers report progress and failures as text.
#ifndef TERVANE_CLIENT_NET_STATUS_SINK_H_
#define TERVANE_CLIENT_NET_STATUS_SINK_H_

#include <string>

namespace tervane {

// The status line of the client: the dialog shows the text, the headless mode
// prints it. Implementations must accept calls from any thread; the library
// calls ShowStatus on the thread that runs the helper.
class StatusSink {
 public:
  virtual ~StatusSink() = default;

  // `utf8` is one complete status text in UTF-8.
  virtual void ShowStatus(const std::string& utf8) = 0;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_STATUS_SINK_H_
