// The win32 thread model of MinGW, which the Windows build uses so that the program
// imports nothing newer than Windows 95 has, lacks std::mutex. GoogleTest needs it only
// for this small helper, given here over a Windows event instead.
#pragma once

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(m_event); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { SetEvent(m_event); }
    void WaitForNotification() { WaitForSingleObject(m_event, INFINITE); }

  private:
    HANDLE m_event;
};

}  // namespace internal
}  // namespace testing
