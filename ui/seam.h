// A seam around the operating system or the desktop: the system's own
// implementation of an interface unless a test has put another in its place.
#pragma once
#include <atomic>

namespace ui {

template <class Interface>
class Seam {
 public:
  constexpr explicit Seam(Interface& (*system)()) : m_system(system) {}
  Seam(const Seam&) = delete;
  Seam& operator=(const Seam&) = delete;

  // Any thread.
  Interface& Active() const {
    Interface* replacement = m_replacement.load();
    return replacement ? *replacement : m_system();
  }
  // Before the threads that use it start; nullptr restores the system's.
  void Replace(Interface* replacement) { m_replacement.store(replacement); }

 private:
  Interface& (*m_system)();
  std::atomic<Interface*> m_replacement{nullptr};
};

}  // namespace ui
