#include "platform/hid_held.h"

#include <mutex>

namespace kk::platform {
namespace {

std::mutex g_mutex;  // trivially destructible: no teardown order to respect
HeldInterface* g_first = nullptr;

}  // namespace

void HeldInterface::hold(std::string path) {
  std::lock_guard guard(g_mutex);
  if (registered_) return;
  path_ = std::move(path);
  next_ = g_first;
  g_first = this;
  registered_ = true;
}

HeldInterface::~HeldInterface() {
  if (!registered_) return;
  std::lock_guard guard(g_mutex);
  for (HeldInterface** link = &g_first; *link != nullptr; link = &(*link)->next_) {
    if (*link == this) {
      *link = next_;
      break;
    }
  }
}

bool HeldInterface::held(const std::string& path) {
  std::lock_guard guard(g_mutex);
  for (const HeldInterface* h = g_first; h != nullptr; h = h->next_)
    if (h->path_ == path) return true;
  return false;
}

}  // namespace kk::platform
