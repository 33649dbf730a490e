// Critical sections: a recursive mutex of the host, kept inside the caller's structure.
#include <pthread.h>

#include <new>

#include <tesk/win32/winbase.h>

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque));
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION));

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(section->opaque));
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  auto* mutex = new (lpCriticalSection->opaque) pthread_mutex_t;
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD /*dwSpinCount*/) {
  InitializeCriticalSection(lpCriticalSection);
  return TRUE;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_lock(MutexOf(lpCriticalSection));
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  return pthread_mutex_trylock(MutexOf(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

}  // extern "C"
