// The whole client protocol library in one include.
#ifndef TERVANE_CLIENT_NET_KOVA_H_
#define TERVANE_CLIENT_NET_KOVA_H_

#include "client/net/list_task.h"
#include "client/net/remote_directory.h"
#include "client/net/remote_file.h"
#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "client/net/status_sink.h"

#endif  // TERVANE_CLIENT_NET_KOVA_H_
