// Preloaded into every 32-bit Wine process when 32-bit programs run under qemu-i386 user-mode
// emulation (see scripts/emu/setup). qemu 7.2 differs from the kernel in three ways that Wine
// depends on; each fix below puts the kernel's behaviour back:
//
// - mmap: qemu takes MAP_FIXED_NOREPLACE as a mere hint and maps elsewhere when the range is taken.
//   Wine reserves its address space by trying ranges and halving them on failure; a mapping
//   somewhere else must therefore fail with EEXIST as on the kernel, and be undone.
// - Fault signals: qemu's signal contexts carry trapno -1, and Wine's fault handler decides on the
//   trap number (page fault, protection fault, breakpoint...). Every fault would otherwise be an
//   illegal instruction: no stack growth through guard pages, wrong access violations. The
//   handlers Wine installs are wrapped to fill in the number the kernel would give; qemu's page
//   fault error code is right and stays (read and write faults are told apart by it).
// - Segments: qemu keeps one GDT per process, not per thread, so a set_thread_area entry holds the
//   base of whichever thread wrote it last. set_thread_area therefore fails with ENOSYS through
//   syscall(), which makes Wine put each thread's %fs (its TEB) into an LDT entry of its own, and
//   every thread's %gs (glibc's thread pointer) moves to an LDT entry of its own too: the first
//   thread when this library loads, the others as they start through pthread_create.
// - Memory of other processes: the Wine server reads and writes its clients' memory through
//   /proc/PID/mem at their addresses, but under qemu a client's address A lies at A + guest base
//   in its host process (wrong rectangles from ReadProcessMemory, for one). The scripts give every
//   emulated process the same guest base in QEMU_GUEST_BASE; offsets into such files move by it.
//   And qemu has no ptrace at all, while the server attaches to a client (and waits for it to
//   stop) before it touches the client's memory: for the server, attaching, waiting for that stop,
//   continuing and detaching succeed without doing anything, and reading or writing a word goes
//   through /proc/PID/mem. Nothing else in the server uses ptrace.
//
// No libc headers: this builds with a 64-bit-only compiler as `gcc -m32 -shared -nostdlib`, and
// nothing here may touch %gs-relative data before the thread's own segment is in place (no
// stack protector). Functions of libc are found at run time.
#include <stddef.h>
#include <stdint.h>

#define EXPORT __attribute__((visibility("default")))
#define RTLD_NEXT ((void*)-1l)
#define MAP_FAILED ((void*)-1)
#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define SA_SIGINFO 4
#define EEXIST 17
#define ENOSYS 38
#define EAGAIN 11
#define ESRCH 3
#define EIO 5

enum {
  kSysExit = 1, kSysReadlink = 85, kSysMunmap = 91, kSysModifyLdt = 123, kSysSchedYield = 158, kSysRtSigprocmask = 175,
  kSysGetpid = 20, kSysGettid = 224, kSysSetThreadArea = 243, kSysTgkill = 270,
};

extern void* dlsym(void* handle, const char* name);
extern int* __errno_location(void);
extern void* malloc(size_t size);
extern void free(void* p);
extern char* getenv(const char* name);
extern unsigned long strtoul(const char* text, char** end, int base);

static long Sys3(long n, long a, long b, long c) {
  long r;
  __asm__ volatile("int $0x80" : "=a"(r) : "0"(n), "b"(a), "c"(b), "d"(c) : "memory");
  return r;
}
static long Sys4(long n, long a, long b, long c, long d) {
  long r;
  __asm__ volatile("int $0x80" : "=a"(r) : "0"(n), "b"(a), "c"(b), "d"(c), "S"(d) : "memory");
  return r;
}

static void* Next(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (!f) Sys3(kSysExit, 127, 0, 0);
  return f;
}

// ---- mmap ------------------------------------------------------------------------------------

typedef void* (*Mmap64Fn)(void*, size_t, int, int, int, long long);
typedef void* (*MmapFn)(void*, size_t, int, int, int, long);
static Mmap64Fn g_mmap64;
static MmapFn g_mmap;

static void* RefuseElsewhere(void* want, void* got, size_t len, int flags) {
  if (got == MAP_FAILED || got == want || !(flags & MAP_FIXED_NOREPLACE) || (flags & MAP_FIXED)) return got;
  Sys3(kSysMunmap, (long)got, (long)len, 0);
  *__errno_location() = EEXIST;
  return MAP_FAILED;
}

EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd, long long off) {
  if (!g_mmap64) g_mmap64 = (Mmap64Fn)Next("mmap64");
  return RefuseElsewhere(addr, g_mmap64(addr, len, prot, flags, fd, off), len, flags);
}

EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd, long off) {
  if (!g_mmap) g_mmap = (MmapFn)Next("mmap");
  return RefuseElsewhere(addr, g_mmap(addr, len, prot, flags, fd, off), len, flags);
}

// ---- /proc/PID/mem ---------------------------------------------------------------------------

typedef long (*PreadFn)(int, void*, size_t, long long);
static PreadFn g_pread64, g_pwrite64;
static unsigned long g_guestBase;

static char* Append(char* out, const char* text) {
  while (*text) *out++ = *text++;
  *out = 0;
  return out;
}

static char* AppendNumber(char* out, unsigned v) {
  char digits[12];
  int n = 0;
  do digits[n++] = (char)('0' + v % 10);
  while ((v /= 10) > 0);
  while (n > 0) *out++ = digits[--n];
  *out = 0;
  return out;
}

// Whether fd is open on "/proc/" digits "/mem".
static int IsProcMem(int fd) {
  char path[32], link[64];
  AppendNumber(Append(path, "/proc/self/fd/"), (unsigned)fd);
  long got = Sys3(kSysReadlink, (long)path, (long)link, sizeof link - 1);
  if (got < 10) return 0;
  link[got] = 0;
  const char* p = link;
  for (const char* want = "/proc/"; *want; ++want, ++p)
    if (*p != *want) return 0;
  const char* digits = p;
  while (*p >= '0' && *p <= '9') ++p;
  return p > digits && p[0] == '/' && p[1] == 'm' && p[2] == 'e' && p[3] == 'm' && p[4] == 0;
}

static long long HostOffset(int fd, long long off) { return g_guestBase && IsProcMem(fd) ? off + g_guestBase : off; }

EXPORT long pread64(int fd, void* buf, size_t n, long long off) {
  if (!g_pread64) g_pread64 = (PreadFn)Next("pread64");
  return g_pread64(fd, buf, n, HostOffset(fd, off));
}

EXPORT long pwrite64(int fd, void* buf, size_t n, long long off) {
  if (!g_pwrite64) g_pwrite64 = (PreadFn)Next("pwrite64");
  return g_pwrite64(fd, buf, n, HostOffset(fd, off));
}

typedef long (*PtraceFn)(int, int, void*, void*);
typedef int (*WaitpidFn)(int, int*, int);
typedef int (*OpenFn)(const char*, int, ...);
typedef int (*CloseFn)(int);
static PtraceFn g_ptrace;
static WaitpidFn g_waitpid;
static OpenFn g_open;
static CloseFn g_close;
enum { kPtracePeekData = 2, kPtracePokeData = 5, kPtraceCont = 7, kPtraceAttach = 16, kPtraceDetach = 17 };
enum { kStoppedBySigstop = 0x137f, kOpenReadWrite = 2, kMaxAttached = 64 };
static int volatile g_attached[kMaxAttached];  // pids whose stop waitpid reports next

static int ProcMem(int pid, unsigned long addr, void* word, int write) {
  char path[32];
  Append(AppendNumber(Append(path, "/proc/"), (unsigned)pid), "/mem");
  if (!g_open) g_open = (OpenFn)Next("open64");
  if (!g_close) g_close = (CloseFn)Next("close");
  if (!g_pread64) g_pread64 = (PreadFn)Next("pread64");
  if (!g_pwrite64) g_pwrite64 = (PreadFn)Next("pwrite64");
  int fd = g_open(path, kOpenReadWrite);
  if (fd < 0) return -1;
  long long off = (long long)addr + g_guestBase;
  long done = write ? g_pwrite64(fd, word, 4, off) : g_pread64(fd, word, 4, off);
  g_close(fd);
  return done == 4 ? 0 : -1;
}

EXPORT long ptrace(int request, int pid, void* addr, void* data) {
  if (!g_guestBase) {
    if (!g_ptrace) g_ptrace = (PtraceFn)Next("ptrace");
    return g_ptrace(request, pid, addr, data);
  }
  long word = 0;
  switch (request) {
    case kPtraceAttach:
      for (int i = 0; i < kMaxAttached; ++i)
        if (__atomic_compare_exchange_n(&g_attached[i], &(int){0}, pid, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) break;
      return 0;
    case kPtraceCont:
    case kPtraceDetach:
      return 0;
    case kPtracePeekData:
      if (ProcMem(pid, (unsigned long)addr, &word, 0) != 0) break;
      *__errno_location() = 0;
      return word;
    case kPtracePokeData:
      word = (long)data;
      if (ProcMem(pid, (unsigned long)addr, &word, 1) != 0) break;
      return 0;
  }
  *__errno_location() = EIO;
  return -1;
}

EXPORT int waitpid(int pid, int* status, int options) {
  for (int i = 0; pid > 0 && i < kMaxAttached; ++i) {
    if (__atomic_compare_exchange_n(&g_attached[i], &(int){pid}, 0, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
      if (status) *status = kStoppedBySigstop;
      return pid;
    }
  }
  if (!g_waitpid) g_waitpid = (WaitpidFn)Next("waitpid");
  return g_waitpid(pid, status, options);
}

// ---- trap numbers in fault signals ----------------------------------------------------------

// glibc's i386 struct sigaction and the parts of siginfo_t and ucontext_t used here.
struct Sigaction {
  void* handler;
  unsigned long mask[32];
  int flags;
  void (*restorer)(void);
};
struct Siginfo {
  int signo, errnum, code;
};
enum { kSigIll = 4, kSigTrap = 5, kSigBus = 7, kSigFpe = 8, kSigSegv = 11, kSigMax = 65 };
enum { kSiKernel = 0x80, kBusAdraln = 1, kFpeIntdiv = 1, kFpeIntovf = 2 };
enum { kUcGregs = 20 / 4, kRegTrapno = 12 };  // ucontext_t: flags, link, stack (3 words), then gregs

typedef void (*InfoHandler)(int, struct Siginfo*, void*);
typedef int (*SigactionFn)(int, const struct Sigaction*, struct Sigaction*);
static SigactionFn g_sigaction;
static InfoHandler volatile g_handlers[kSigMax];

static int TrapNumber(int sig, int code) {
  switch (sig) {
    case kSigSegv: return code == kSiKernel ? 13 : 14;  // general protection or page fault
    case kSigBus: return code == kBusAdraln ? 17 : 14;  // alignment check, or a page of a file
    case kSigIll: return 6;                             // invalid opcode
    case kSigFpe:
      if (code == kFpeIntdiv) return 0;
      if (code == kFpeIntovf) return 4;
      return 16;  // x87 floating-point error
    case kSigTrap: return code == kSiKernel ? 3 : 1;  // int3, or single step / debug register
  }
  return -1;
}

static void TrapWrapper(int sig, struct Siginfo* info, void* uc) {
  uint32_t* gregs = (uint32_t*)uc + kUcGregs;
  if (gregs[kRegTrapno] > 31) gregs[kRegTrapno] = (uint32_t)TrapNumber(sig, info ? info->code : 0);
  InfoHandler h = g_handlers[sig];
  if (h) h(sig, info, uc);
}

static int IsFault(int sig) {
  return sig == kSigSegv || sig == kSigBus || sig == kSigIll || sig == kSigFpe || sig == kSigTrap;
}

EXPORT int sigaction(int sig, const struct Sigaction* act, struct Sigaction* old) {
  if (!g_sigaction) g_sigaction = (SigactionFn)Next("sigaction");
  if (!IsFault(sig)) return g_sigaction(sig, act, old);
  InfoHandler previous = g_handlers[sig];
  struct Sigaction mine;
  if (act) {
    InfoHandler wanted = 0;
    if ((act->flags & SA_SIGINFO) && (uintptr_t)act->handler > 1) {
      wanted = (InfoHandler)act->handler;
      mine = *act;
      mine.handler = (void*)TrapWrapper;
      act = &mine;
    }
    g_handlers[sig] = wanted;  // before the wrapper can run
  }
  int r = g_sigaction(sig, act, old);
  if (r != 0) g_handlers[sig] = previous;
  if (old && old->handler == (void*)TrapWrapper) old->handler = (void*)previous;
  return r;
}

// ---- set_thread_area through syscall() ------------------------------------------------------

typedef long (*SyscallFn)(long, long, long, long, long, long, long);
static SyscallFn g_syscall;

EXPORT long syscall(long n, long a, long b, long c, long d, long e, long f) {
  if (n == kSysSetThreadArea) {
    *__errno_location() = ENOSYS;
    return -1;
  }
  if (!g_syscall) g_syscall = (SyscallFn)Next("syscall");
  return g_syscall(n, a, b, c, d, e, f);
}

// ---- a %gs of each thread's own ---------------------------------------------------------------

struct UserDesc {
  unsigned int entry;
  unsigned int base;
  unsigned int limit;
  unsigned int seg32 : 1, contents : 2, readExecOnly : 1, limitInPages : 1, notPresent : 1, useable : 1;
};

// The top of the LDT, far from the entries Wine hands out from the bottom (one per thread).
enum { kFirstSlot = 6144, kSlots = 2048 };
static int volatile g_slotOwner[kSlots];  // kernel thread id, 0 when free
static int volatile g_lock;
static int g_slotCursor;
static unsigned g_gdtEntry;  // glibc's thread-pointer entry, written again by every clone

static void Lock(void) {
  while (__atomic_exchange_n(&g_lock, 1, __ATOMIC_ACQUIRE)) Sys3(kSysSchedYield, 0, 0, 0);
}
static void Unlock(void) { __atomic_store_n(&g_lock, 0, __ATOMIC_RELEASE); }

static unsigned GetGs(void) {
  unsigned v;
  __asm__ volatile("movl %%gs, %0" : "=r"(v));
  return v & 0xffff;
}
static void SetGs(unsigned v) { __asm__ volatile("movl %0, %%gs" : : "r"(v) : "memory"); }
static uint32_t ThreadPointer(void) {
  uint32_t tp;
  __asm__ volatile("movl %%gs:0, %0" : "=r"(tp));
  return tp;
}
static int IsLdt(unsigned sel) { return (sel & 4) != 0; }

static void FillDesc(struct UserDesc* d, unsigned entry, uint32_t base) {
  *d = (struct UserDesc){0};
  d->entry = entry;
  d->base = base;
  d->limit = 0xfffff;
  d->seg32 = 1;
  d->limitInPages = 1;
  d->useable = 1;
}

// A slot is free when its thread has ended; thread ids are only reused after that.
static int TakeSlot(int tid) {
  const long pid = Sys3(kSysGetpid, 0, 0, 0);
  for (int i = 0; i < kSlots; ++i) {
    int s = (g_slotCursor + i) % kSlots;
    int owner = g_slotOwner[s];
    if (owner == 0 || Sys3(kSysTgkill, pid, owner, 0) == -ESRCH) {
      g_slotOwner[s] = tid;
      g_slotCursor = (s + 1) % kSlots;
      return s;
    }
  }
  return -1;
}

// Moves this thread's %gs from the shared GDT entry to an LDT entry of its own, same base.
static void OwnGs(void) {
  if (IsLdt(GetGs())) return;
  const int tid = (int)Sys3(kSysGettid, 0, 0, 0);
  Lock();
  int slot = TakeSlot(tid);
  Unlock();
  if (slot < 0) return;  // thousands of live threads: stay on the shared entry
  struct UserDesc d;
  FillDesc(&d, kFirstSlot + slot, ThreadPointer());
  if (Sys3(kSysModifyLdt, 1, (long)&d, sizeof d) != 0) return;
  SetGs(((kFirstSlot + slot) << 3) | 7);
}

typedef int (*PthreadCreateFn)(void*, const void*, void* (*)(void*), void*);
static PthreadCreateFn g_pthreadCreate;

struct Start {
  void* (*fn)(void*);
  void* arg;
  unsigned long mask[2];
};

static void* ThreadStart(void* p) {
  struct Start s = *(struct Start*)p;
  free(p);
  OwnGs();  // signals are still blocked: nothing reloads %gs from the GDT before this
  Sys4(kSysRtSigprocmask, 2 /* SIG_SETMASK */, (long)s.mask, 0, sizeof s.mask);
  return s.fn(s.arg);
}

// glibc's clone takes the GDT entry number from the caller's %gs, and writes the child's base
// there. The caller therefore goes back to the GDT entry (written with its own base) for the call,
// with signals blocked so that nothing reloads the segment while the entry holds the child's base.
EXPORT int pthread_create(void* thread, const void* attr, void* (*fn)(void*), void* arg) {
  if (!g_pthreadCreate) g_pthreadCreate = (PthreadCreateFn)Next("pthread_create");
  OwnGs();
  struct Start* s = (struct Start*)malloc(sizeof *s);
  if (!s) return EAGAIN;
  s->fn = fn;
  s->arg = arg;
  unsigned long all[2] = {~0ul, ~0ul}, before[2];
  Sys4(kSysRtSigprocmask, 2, (long)all, (long)before, sizeof all);
  s->mask[0] = before[0];
  s->mask[1] = before[1];
  const unsigned own = GetGs();
  int r;
  Lock();
  if (IsLdt(own) && g_gdtEntry) {
    struct UserDesc d;
    FillDesc(&d, g_gdtEntry, ThreadPointer());
    Sys3(kSysSetThreadArea, (long)&d, 0, 0);
    SetGs((g_gdtEntry << 3) | 3);
    r = g_pthreadCreate(thread, attr, ThreadStart, s);
    SetGs(own);
  } else {
    r = g_pthreadCreate(thread, attr, ThreadStart, s);
  }
  Unlock();
  Sys4(kSysRtSigprocmask, 2, (long)before, 0, sizeof before);
  if (r != 0) free(s);
  return r;
}

__attribute__((constructor)) static void Init(void) {
  const char* base = getenv("QEMU_GUEST_BASE");
  if (base) g_guestBase = strtoul(base, 0, 0);
  const unsigned gs = GetGs();
  if (!IsLdt(gs)) g_gdtEntry = gs >> 3;
  OwnGs();
}
