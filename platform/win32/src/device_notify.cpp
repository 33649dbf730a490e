// Device notifications for windows, across every process of a prefix.
//
// A process with registrations listens on a unix datagram socket of its own in the prefix's
// runtime folder, notify/<pid>.<serial> (one per prefix it has registrations in). A broadcast
// sends one datagram to every socket there; one listener thread per process reads them and
// posts WM_DEVICECHANGE to the windows whose registration matches, in the order they were
// registered. A socket whose process died refuses the connection, and the broadcaster removes
// it. A receiver whose socket stays full for a second (a stopped process) loses that notice,
// and later ones until it reads again, rather than hold the broadcaster up.
//
// The listener starts with the first registration and runs until the process exits (or the
// library is unloaded), when it is stopped and joined and the sockets are removed.

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <tesk/win32/dbt.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winuser.h>

#include "device_notify.h"
#include "user32_internal.h"

namespace tesk::win32::internal {
namespace {

// How long a broadcaster waits for room in a receiver's socket before it gives up on it.
// A receiver it gave up on gets no wait until it takes a notice again.
constexpr int kFullReceiverWaitMs = 1000;
// Interface paths are short; a longer one is not announced.
constexpr std::size_t kMaxName = 2048;

constexpr char kMagic[4] = {'T', 'D', 'N', '1'};
struct NoticeHeader {
  char magic[4];
  DWORD event;
  GUID interface_class;
  DWORD name_length;
};
constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

struct Registration {
  HWND window = nullptr;
  bool all_classes = false;
  GUID interface_class{};
  std::string folder;  // the notify folder of the prefix it was made in
};

struct Endpoint {
  std::string folder;
  std::string path;
  int fd = -1;
  int users = 0;
};

struct State {
  // Held while a notice is handed to windows, so that no notice reaches a window after its
  // registration is gone.
  std::mutex lock;
  std::map<std::uintptr_t, Registration> registrations;  // by handle, in registration order
  std::uintptr_t next_handle = 0x10000;
  std::vector<Endpoint> endpoints;
  std::vector<int> retired;  // sockets the listener closes, once it no longer polls them
  unsigned serial = 0;
  int wake_fd = -1;
  std::thread listener;
  bool stopping = false;
};

// Never destroyed: registrations may go while the process exits.
State& Global() {
  static auto* state = new State;
  return *state;
}

std::string NotifyFolder() {
  return RuntimePath() + "/notify";
}

bool MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  return false;
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

void Wake(int fd) {
  if (fd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof(one));
}

void Deliver(const std::string& folder, const char* data, std::size_t size) {
  NoticeHeader header;
  if (size < sizeof(header)) return;
  std::memcpy(&header, data, sizeof(header));
  if (std::memcmp(header.magic, kMagic, sizeof(kMagic)) != 0 || header.name_length != size - sizeof(header) ||
      header.name_length > kMaxName) {
    return;
  }
  const std::size_t record_size = kNameOffset + header.name_length + 1;
  State& state = Global();
  std::lock_guard<std::mutex> hold(state.lock);
  for (const auto& [handle, registration] : state.registrations) {
    if (registration.folder != folder) continue;
    if (!registration.all_classes && !(registration.interface_class == header.interface_class)) continue;
    std::unique_ptr<char[]> record(
        new (std::nothrow) char[std::max(record_size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A))]());
    if (!record) return;
    DEV_BROADCAST_DEVICEINTERFACE_A fixed{};
    fixed.dbcc_size = static_cast<DWORD>(record_size);
    fixed.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    fixed.dbcc_classguid = header.interface_class;
    std::memcpy(record.get(), &fixed, kNameOffset);
    std::memcpy(record.get() + kNameOffset, data + sizeof(header), header.name_length);
    PostMessageWithRecord(registration.window, WM_DEVICECHANGE, header.event, std::move(record));
  }
}

void Listen() {
  State& state = Global();
  std::vector<char> buffer(sizeof(NoticeHeader) + kMaxName + 1);
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::string> folders;
    {
      std::lock_guard<std::mutex> hold(state.lock);
      for (int fd : state.retired) close(fd);
      state.retired.clear();
      if (state.stopping) return;
      fds.push_back({state.wake_fd, POLLIN, 0});
      folders.emplace_back();
      for (const auto& endpoint : state.endpoints) {
        fds.push_back({endpoint.fd, POLLIN, 0});
        folders.push_back(endpoint.folder);
      }
    }
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents) {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t got = read(fds[0].fd, &count, sizeof(count));
    }
    // A socket retired while we polled is still open: only this thread closes them.
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      for (;;) {
        const ssize_t got = recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) break;
        Deliver(folders[i], buffer.data(), static_cast<std::size_t>(got));
      }
    }
  }
}

// State lock held. The socket of the calling process in `folder`, made (with the listener,
// the first time) when missing.
bool Attach(State& state, const std::string& folder) {
  for (auto& endpoint : state.endpoints) {
    if (endpoint.folder == folder) {
      ++endpoint.users;
      return true;
    }
  }
  if (state.stopping) return false;
  if (state.wake_fd < 0) {
    state.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state.wake_fd < 0) return false;
  }
  const std::string runtime = folder.substr(0, folder.rfind('/'));
  if (!MakeFolder(runtime) || !MakeFolder(folder)) return false;
  Endpoint endpoint;
  endpoint.folder = folder;
  endpoint.path = folder + "/" + std::to_string(getpid()) + "." + std::to_string(++state.serial);
  sockaddr_un address;
  if (!SocketAddress(endpoint.path, &address)) return false;
  endpoint.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (endpoint.fd < 0) return false;
  unlink(endpoint.path.c_str());
  if (bind(endpoint.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    close(endpoint.fd);
    return false;
  }
  endpoint.users = 1;
  try {
    state.endpoints.push_back(endpoint);
    if (!state.listener.joinable()) state.listener = std::thread(Listen);
  } catch (...) {
    if (!state.endpoints.empty() && state.endpoints.back().fd == endpoint.fd) state.endpoints.pop_back();
    unlink(endpoint.path.c_str());
    close(endpoint.fd);
    return false;
  }
  Wake(state.wake_fd);
  return true;
}

// State lock held.
void Detach(State& state, const std::string& folder) {
  for (auto it = state.endpoints.begin(); it != state.endpoints.end(); ++it) {
    if (it->folder != folder || --it->users > 0) continue;
    unlink(it->path.c_str());
    try {
      state.retired.push_back(it->fd);
    } catch (const std::bad_alloc&) {
      // Left open rather than closed under the listener's poll.
    }
    state.endpoints.erase(it);
    Wake(state.wake_fd);
    return;
  }
}

// Stops the listener and removes this process's sockets when the process exits.
struct Shutdown {
  Shutdown() = default;
  Shutdown(const Shutdown&) = delete;
  Shutdown& operator=(const Shutdown&) = delete;
  ~Shutdown() {
    State& state = Global();
    std::thread listener;
    {
      std::lock_guard<std::mutex> hold(state.lock);
      state.stopping = true;
      listener = std::move(state.listener);
      Wake(state.wake_fd);
    }
    if (listener.joinable()) listener.join();
    std::lock_guard<std::mutex> hold(state.lock);
    for (int fd : state.retired) close(fd);
    state.retired.clear();
    for (const auto& endpoint : state.endpoints) {
      unlink(endpoint.path.c_str());
      close(endpoint.fd);
    }
    state.endpoints.clear();
    if (state.wake_fd >= 0) close(state.wake_fd);
    state.wake_fd = -1;
  }
} g_shutdown;

// Receivers whose socket stayed full (a stopped process), by path.
std::mutex g_stalled_lock;
std::set<std::string>* g_stalled = new std::set<std::string>;

// Hands one datagram to the socket at `path`: false when nobody listens there any more.
bool SendTo(const std::string& path, const std::vector<char>& notice) {
  sockaddr_un address;
  if (!SocketAddress(path, &address)) return true;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return true;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const bool alive = errno != ECONNREFUSED;
    close(fd);
    if (!alive) {
      std::lock_guard<std::mutex> hold(g_stalled_lock);
      g_stalled->erase(path);
    }
    return alive;
  }
  bool stalled;
  {
    std::lock_guard<std::mutex> hold(g_stalled_lock);
    stalled = g_stalled->count(path) != 0;
  }
  // A full socket is usually a listener that has not been scheduled yet (the kernel queues
  // only a few datagrams per socket): wait for room, up to a limit.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(stalled ? 0 : kFullReceiverWaitMs);
  bool sent = false;
  for (;;) {
    if (send(fd, notice.data(), notice.size(), MSG_NOSIGNAL) >= 0) {
      sent = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
  }
  close(fd);
  if (sent == stalled) {
    try {
      std::lock_guard<std::mutex> hold(g_stalled_lock);
      if (sent) {
        g_stalled->erase(path);
      } else {
        g_stalled->insert(path);
      }
    } catch (const std::bad_alloc&) {
      // It is waited for again next time.
    }
  }
  return true;
}

}  // namespace

void ForgetDeviceNotifications(HWND window) {
  State& state = Global();
  std::lock_guard<std::mutex> hold(state.lock);
  for (auto it = state.registrations.begin(); it != state.registrations.end();) {
    if (it->second.window != window) {
      ++it;
      continue;
    }
    Detach(state, it->second.folder);
    it = state.registrations.erase(it);
  }
}

void BroadcastDeviceInterfaceChange(REFGUID interface_class, const std::string& symbolic_link, bool arrival) {
  if (symbolic_link.size() > kMaxName) return;
  std::vector<char> notice;
  std::vector<std::string> receivers;
  const std::string folder = NotifyFolder();
  try {
    NoticeHeader header{};
    std::memcpy(header.magic, kMagic, sizeof(kMagic));
    header.event = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    header.interface_class = interface_class;
    header.name_length = static_cast<DWORD>(symbolic_link.size());
    notice.resize(sizeof(header) + symbolic_link.size());
    std::memcpy(notice.data(), &header, sizeof(header));
    std::memcpy(notice.data() + sizeof(header), symbolic_link.data(), symbolic_link.size());

    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      if (entry->d_type != DT_SOCK && entry->d_type != DT_UNKNOWN) continue;
      receivers.push_back(folder + "/" + entry->d_name);
    }
    closedir(dir);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (const auto& path : receivers) {
    if (!SendTo(path, notice)) unlink(path.c_str());
  }
}

}  // namespace tesk::win32::internal

using namespace tesk::win32::internal;

extern "C" {

HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  if (Flags & ~static_cast<DWORD>(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) {
    // Service handles and anything else: only windows receive notices here.
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const HWND window = static_cast<HWND>(hRecipient);
  if (!IsLiveWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (!NotificationFilter) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DEV_BROADCAST_HDR header;
  std::memcpy(&header, NotificationFilter, sizeof(header));
  if (header.dbch_size < kNameOffset || header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  DEV_BROADCAST_DEVICEINTERFACE_A filter;
  std::memcpy(&filter, NotificationFilter, kNameOffset);

  State& state = Global();
  std::uintptr_t handle = 0;
  try {
    Registration registration;
    registration.window = window;
    registration.all_classes = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    registration.interface_class = filter.dbcc_classguid;
    registration.folder = NotifyFolder();
    const std::string folder = registration.folder;
    std::lock_guard<std::mutex> hold(state.lock);
    if (!Attach(state, folder)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    handle = state.next_handle;
    try {
      state.registrations.emplace(handle, std::move(registration));
    } catch (const std::bad_alloc&) {
      Detach(state, folder);
      throw;
    }
    state.next_handle += 8;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // A window whose destruction began meanwhile has already forgotten its registrations.
  if (!IsLiveWindow(window)) {
    UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(handle));
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return reinterpret_cast<HDEVNOTIFY>(handle);
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  State& state = Global();
  std::lock_guard<std::mutex> hold(state.lock);
  auto it = state.registrations.find(reinterpret_cast<std::uintptr_t>(Handle));
  if (it == state.registrations.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Detach(state, it->second.folder);
  state.registrations.erase(it);
  return TRUE;
}

}  // extern "C"
