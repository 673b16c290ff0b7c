// Host stand-in of the board: memory regions as host memory, a simulated global timer and
// interrupts delivered as plain calls.
//
// A power cycle happens before every fuzz input, so it must cost what the last run touched, not
// what the board has: the shared DDR is an anonymous mapping whose pages the kernel hands out on
// first touch, and a reset clears only the pages the firmware was given a pointer into; the FPGA
// blocks clear only the register span that was written.
#include "Platform/host.h"

#include <algorithm>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

namespace {

// Shared DDR, lazily backed, with a bitmap of the granules handed out since the last reset.
class LazySharedMemory {
 public:
  static constexpr std::size_t GRANULE = 4096;
  static constexpr std::size_t N_GRANULES = (platform::SHARED_DDR_SIZE + GRANULE - 1) / GRANULE;
  // Runs this long are given back to the kernel instead of being cleared byte by byte: what was
  // handed out but never touched is then never faulted in.
  static constexpr std::size_t RELEASE_MIN = std::size_t{1} << 20;

  u8* base() {
    if (!base_) map();
    return base_;
  }

  void markHandedOut(std::size_t offset, std::size_t len) {
    if (len == 0) return;
    const std::size_t first = offset / GRANULE;
    const std::size_t last = (offset + len - 1) / GRANULE;
    if (first == last) {  // a header or a word: the common hand-out
      dirty_[first / 64] |= u64{1} << (first % 64);
      return;
    }
    // A word of granules at a time: the rings hand out their whole data area on every access.
    for (std::size_t g = first; g <= last;) {
      const std::size_t bit = g % 64;
      const std::size_t n = std::min<std::size_t>(64 - bit, last - g + 1);
      dirty_[g / 64] |= (n == 64 ? ~u64{0} : ((u64{1} << n) - 1) << bit);
      g += n;
    }
  }

  // The granules handed out at one moment, and the bytes of those that are not all zero.
  struct Saved {
    std::array<u64, (N_GRANULES + 63) / 64> dirty{};
    std::vector<std::size_t> granules;
    std::vector<u8> bytes;  // GRANULE bytes for each of granules
  };

  void save(Saved& saved) const {
    saved.dirty = dirty_;
    saved.granules.clear();
    saved.bytes.clear();
    if (!base_) return;
    for (std::size_t g = 0; g < N_GRANULES; ++g) {
      if (!isDirty(g)) {
        if (g % 64 == 0 && dirty_[g / 64] == 0) g += 63;  // a whole clean word
        continue;
      }
      const u8* p = base_ + g * GRANULE;
      if (isZero(p)) continue;
      saved.granules.push_back(g);
      saved.bytes.insert(saved.bytes.end(), p, p + GRANULE);
    }
  }

  // Whether a granule reads all zero, a word at a time.
  static bool isZero(const u8* p) {
    u64 any = 0;
    for (std::size_t i = 0; i < GRANULE; i += sizeof(u64)) {
      u64 w;
      std::memcpy(&w, p + i, sizeof w);
      any |= w;
    }
    return any == 0;
  }

  // Whatever was handed out since reads zero again, then the saved bytes go back. The saved
  // granules stay handed out: the back-end may still hold pointers into them from before.
  void restore(const Saved& saved) {
    clearHandedOut();
    if (!saved.granules.empty()) base();
    for (std::size_t i = 0; i < saved.granules.size(); ++i)
      std::memcpy(base_ + saved.granules[i] * GRANULE, saved.bytes.data() + i * GRANULE, GRANULE);
    dirty_ = saved.dirty;
  }

  // Whether it reads as `saved` does: the saved bytes where they were, zeros elsewhere. (What
  // has been handed out since only decides what the next reset clears.)
  bool sameAs(const Saved& saved) const {
    if (!base_) return saved.granules.empty();
    std::size_t next = 0;
    for (std::size_t g = 0; g < N_GRANULES; ++g) {
      const bool wasSaved = next < saved.granules.size() && saved.granules[next] == g;
      if (!isDirty(g)) {
        if (wasSaved) return false;  // cleared since: it read the saved bytes, it reads zeros
        continue;
      }
      const u8* p = base_ + g * GRANULE;
      if (wasSaved) {
        if (std::memcmp(p, saved.bytes.data() + next * GRANULE, GRANULE) != 0) return false;
        ++next;
      } else if (!isZero(p)) {
        return false;
      }
    }
    return true;
  }

  void clearHandedOut() {
    if (!base_) return;
    std::size_t g = 0;
    while (g < N_GRANULES) {
      if (!isDirty(g)) {
        // Whole clean words at once: most of a large region is never handed out.
        g = (g % 64 == 0 && dirty_[g / 64] == 0) ? g + 64 : g + 1;
        continue;
      }
      const std::size_t first = g;
      while (g < N_GRANULES && isDirty(g)) ++g;
      clearRun(first * GRANULE, g * GRANULE);
    }
    dirty_.fill(0);
  }

 private:
  bool isDirty(std::size_t g) const { return (dirty_[g / 64] >> (g % 64)) & 1u; }

  void map() {
    void* p = mmap(nullptr, platform::SHARED_DDR_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    if (p == MAP_FAILED) {
      std::perror("shared DDR stand-in: mmap");
      std::abort();
    }
    base_ = static_cast<u8*>(p);
    pageSize_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  }

  void clearRun(std::size_t from, std::size_t to) {
    if (to > platform::SHARED_DDR_SIZE) to = platform::SHARED_DDR_SIZE;
    const std::size_t pageFrom = (from + pageSize_ - 1) / pageSize_ * pageSize_;
    const std::size_t pageTo = to / pageSize_ * pageSize_;
    if (pageTo > pageFrom && pageTo - pageFrom >= RELEASE_MIN &&
        madvise(base_ + pageFrom, pageTo - pageFrom, MADV_DONTNEED) == 0) {
      // A private anonymous mapping reads as zeros after MADV_DONTNEED.
      std::memset(base_ + from, 0, pageFrom - from);
      std::memset(base_ + pageTo, 0, to - pageTo);
      return;
    }
    std::memset(base_ + from, 0, to - from);
  }

  u8* base_ = nullptr;
  std::size_t pageSize_ = GRANULE;
  std::array<u64, (N_GRANULES + 63) / 64> dirty_{};
};
static_assert(platform::SHARED_DDR_SIZE % LazySharedMemory::GRANULE == 0);

// One FPGA register block and the span of it written since the last reset.
struct RegisterBlock {
  std::array<u32, platform::FPGA_BLOCK_SIZE / 4> words{};
  std::size_t writtenFrom = words.size();
  std::size_t writtenTo = 0;

  void write(std::size_t i, u32 value) {
    words[i] = value;
    if (i < writtenFrom) writtenFrom = i;
    if (i + 1 > writtenTo) writtenTo = i + 1;
  }
  void clearWritten() {
    if (writtenFrom < writtenTo) std::memset(&words[writtenFrom], 0, (writtenTo - writtenFrom) * sizeof(u32));
    writtenFrom = words.size();
    writtenTo = 0;
  }
  // Outside its written span a block is zero, so only the span is carried back.
  void restore(const RegisterBlock& saved) {
    clearWritten();
    if (saved.writtenFrom < saved.writtenTo)
      std::memcpy(&words[saved.writtenFrom], &saved.words[saved.writtenFrom],
                  (saved.writtenTo - saved.writtenFrom) * sizeof(u32));
    writtenFrom = saved.writtenFrom;
    writtenTo = saved.writtenTo;
  }
};

// Categories release their software locks in their destructors at exit, through this memory: it
// must still be there then, whatever the order of destruction.
static_assert(std::is_trivially_destructible_v<LazySharedMemory>);
static_assert(std::is_trivially_destructible_v<std::array<bool, platform::N_HW_LOCKS>>);
LazySharedMemory sharedDdr;
alignas(8) std::array<u8, platform::NV_SIZE> nvMemory{};
std::array<u32, 4> ocmWords{};  // boot mode, timing log 0, timing log 1, jump request
constexpr std::array<u32, 6> fpgaBases = {platform::FPGA_PS,   platform::FPGA_GLUE, platform::FPGA_ME1,
                                          platform::FPGA_ME2,  platform::FPGA_SDI1, platform::FPGA_SDI2};
std::array<RegisterBlock, 6> fpgaRegisters{};
std::array<bool, platform::N_HW_LOCKS> hwLocks{};
std::array<platform::InterruptHandler, 64> handlers{};
platform::HardwareInputs inputs{};
u64 timerTicks = 0;
u32 jumpAddress = 0;
int jumps = 0;
std::size_t nvBudget = host::NO_NV_BUDGET;
u64 nvWritten = 0;
host::NvWriteSink nvWriteSink = nullptr;
void* nvWriteCtx = nullptr;

host::ConsoleSink consoleSink = nullptr;
void* consoleCtx = nullptr;
host::TraceSink traceSink = nullptr;
void* traceCtx = nullptr;
host::SignalSink signalSink = nullptr;
void* signalCtx = nullptr;

int ocmIndex(u32 addr) {
  switch (addr) {
    case platform::OCM_BOOT_MODE: return 0;
    case platform::OCM_TIMING_LOG0: return 1;
    case platform::OCM_TIMING_LOG1: return 2;
    case platform::OCM_JUMP_REQUEST: return 3;
    default: return -1;
  }
}

// Block and word index of a register address; false outside the blocks.
bool fpgaRegister(u32 addr, std::size_t& block, std::size_t& word) {
  for (std::size_t b = 0; b < fpgaBases.size(); ++b) {
    if (addr >= fpgaBases[b] && addr - fpgaBases[b] < platform::FPGA_BLOCK_SIZE && (addr & 3) == 0) {
      block = b;
      word = (addr - fpgaBases[b]) / 4;
      return true;
    }
  }
  return false;
}

// ---- the back-end's statics -------------------------------------------------------------------
// The fuzz preset compiles the back-end with its statics in the sections orvane.data and
// orvane.bss (see CMakeLists.txt); they are found in the executable's own section headers. The
// guard word of each function-local static in them goes too: one first built after a snapshot
// is built again after the restore, instead of its zeroed storage passing for built.

struct Region {
  u8* at;
  std::size_t size;
};

constexpr std::size_t GUARD_SIZE = 8;  // what the C++ ABI's guard variables have

std::uintptr_t executableLoadBias() {
  std::uintptr_t bias = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        *static_cast<std::uintptr_t*>(out) = info->dlpi_addr;
        return 1;  // the first object is the executable itself
      },
      &bias);
  return bias;
}

std::vector<Region> regionsIn(const u8* file, std::size_t fileSize) {
  std::vector<Region> regions;
  if (fileSize < sizeof(Elf64_Ehdr)) return regions;
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file);
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64 ||
      eh->e_shentsize != sizeof(Elf64_Shdr) || eh->e_shoff > fileSize ||
      eh->e_shnum > (fileSize - eh->e_shoff) / sizeof(Elf64_Shdr) || eh->e_shstrndx >= eh->e_shnum)
    return regions;
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(file + eh->e_shoff);
  auto inFile = [&](const Elf64_Shdr& sh) { return sh.sh_offset <= fileSize && sh.sh_size <= fileSize - sh.sh_offset; };
  auto stringAt = [&](const Elf64_Shdr& table, u32 at) -> std::string_view {
    if (!inFile(table) || at >= table.sh_size) return {};
    const char* p = reinterpret_cast<const char*>(file + table.sh_offset + at);
    return {p, strnlen(p, table.sh_size - at)};
  };
  const std::uintptr_t bias = executableLoadBias();
  std::vector<bool> isState(eh->e_shnum, false);
  for (std::size_t i = 0; i < eh->e_shnum; ++i) {
    const std::string_view name = stringAt(sections[eh->e_shstrndx], sections[i].sh_name);
    if (name != "orvane.data" && name != "orvane.bss") continue;
    isState[i] = true;
    if (sections[i].sh_size > 0)
      regions.push_back({reinterpret_cast<u8*>(bias + sections[i].sh_addr), sections[i].sh_size});
  }
  if (regions.empty()) return regions;

  bool symbols = false;
  for (std::size_t i = 0; i < eh->e_shnum; ++i) {
    const Elf64_Shdr& table = sections[i];
    if (table.sh_type != SHT_SYMTAB || table.sh_link >= eh->e_shnum || !inFile(table)) continue;
    symbols = true;
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(file + table.sh_offset);
    const std::size_t n = table.sh_size / sizeof(Elf64_Sym);
    const Elf64_Shdr& names = sections[table.sh_link];
    std::unordered_set<std::string_view> stateObjects;
    for (std::size_t k = 0; k < n; ++k)
      if (syms[k].st_shndx < eh->e_shnum && isState[syms[k].st_shndx]) stateObjects.insert(stringAt(names, syms[k].st_name));
    // The guard of _ZZ...E1x (or _ZN...E) is _ZGVZ...E1x.
    std::string guarded;
    for (std::size_t k = 0; k < n; ++k) {
      const std::string_view name = stringAt(names, syms[k].st_name);
      if (name.substr(0, 4) != "_ZGV" || syms[k].st_value == 0) continue;
      guarded.assign("_Z").append(name.substr(4));
      if (stateObjects.count(guarded) != 0)
        regions.push_back({reinterpret_cast<u8*>(bias + syms[k].st_value), GUARD_SIZE});
    }
  }
  // Without the symbols the guards cannot be found, and a restore could not be exact.
  if (!symbols) regions.clear();
  return regions;
}

// A named object of the executable, for saying which one changed.
struct ObjectSymbol {
  std::uintptr_t at;
  std::size_t size;
  std::string name;  // locals as FILE:NAME
};

struct ObjectSymbols {
  std::vector<ObjectSymbol> objects;   // by address
  std::vector<ObjectSymbol> sections;  // the writable ones, named [NAME], for bytes no symbol names
};

ObjectSymbols objectSymbolsIn(const u8* file, std::size_t fileSize) {
  ObjectSymbols found;
  std::vector<ObjectSymbol>& objects = found.objects;
  if (fileSize < sizeof(Elf64_Ehdr)) return found;
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file);
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64 ||
      eh->e_shentsize != sizeof(Elf64_Shdr) || eh->e_shoff > fileSize ||
      eh->e_shnum > (fileSize - eh->e_shoff) / sizeof(Elf64_Shdr))
    return found;
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(file + eh->e_shoff);
  const std::uintptr_t bias = executableLoadBias();
  if (eh->e_shstrndx < eh->e_shnum) {
    const Elf64_Shdr& names = sections[eh->e_shstrndx];
    for (std::size_t i = 0; i < eh->e_shnum; ++i) {
      if (!(sections[i].sh_flags & SHF_WRITE) || !(sections[i].sh_flags & SHF_ALLOC) || sections[i].sh_size == 0 ||
          names.sh_offset > fileSize || sections[i].sh_name >= fileSize - names.sh_offset)
        continue;
      const char* p = reinterpret_cast<const char*>(file + names.sh_offset + sections[i].sh_name);
      found.sections.push_back({bias + sections[i].sh_addr, sections[i].sh_size,
                         "[" + std::string(p, strnlen(p, fileSize - names.sh_offset - sections[i].sh_name)) + "]"});
    }
  }
  for (std::size_t i = 0; i < eh->e_shnum; ++i) {
    const Elf64_Shdr& table = sections[i];
    if (table.sh_type != SHT_SYMTAB || table.sh_link >= eh->e_shnum) continue;
    const Elf64_Shdr& names = sections[table.sh_link];
    if (table.sh_offset > fileSize || table.sh_size > fileSize - table.sh_offset || names.sh_offset > fileSize ||
        names.sh_size > fileSize - names.sh_offset)
      continue;
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(file + table.sh_offset);
    auto nameOf = [&](u32 at) -> std::string {
      if (at >= names.sh_size) return {};
      const char* p = reinterpret_cast<const char*>(file + names.sh_offset + at);
      return {p, strnlen(p, names.sh_size - at)};
    };
    std::string sourceFile;  // locals follow the STT_FILE entry of their object file
    for (std::size_t k = 0; k < table.sh_size / sizeof(Elf64_Sym); ++k) {
      const Elf64_Sym& sym = syms[k];
      if (ELF64_ST_TYPE(sym.st_info) == STT_FILE) sourceFile = nameOf(sym.st_name);
      if (ELF64_ST_TYPE(sym.st_info) != STT_OBJECT || sym.st_size == 0 || sym.st_value == 0) continue;
      std::string name = nameOf(sym.st_name);
      if (ELF64_ST_BIND(sym.st_info) == STB_LOCAL) name = sourceFile + ":" + name;
      objects.push_back({bias + sym.st_value, sym.st_size, std::move(name)});
    }
  }
  std::sort(objects.begin(), objects.end(), [](const ObjectSymbol& a, const ObjectSymbol& b) { return a.at < b.at; });
  return found;
}

// Every writable segment of the executable: all of its statics, the back-end's and the rest.
std::vector<Region> writableSegments() {
  std::vector<Region> segments;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        for (std::size_t i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W) && ph.p_memsz > 0)
            static_cast<std::vector<Region>*>(out)->push_back(
                {reinterpret_cast<u8*>(info->dlpi_addr + ph.p_vaddr), ph.p_memsz});
        }
        return 1;  // the executable only
      },
      &segments);
  return segments;
}

template <class Fn>
auto withExecutable(Fn fn) -> decltype(fn(static_cast<const u8*>(nullptr), std::size_t{})) {
  const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  void* map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size > 0)
    map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return {};
  auto result = fn(static_cast<const u8*>(map), static_cast<std::size_t>(st.st_size));
  munmap(map, static_cast<std::size_t>(st.st_size));
  return result;
}

std::vector<Region> findFirmwareState() { return withExecutable(regionsIn); }

// Under the address sanitizer every static is followed by a red zone that nothing may write (about a
// fifth of the back-end's statics): the snapshot takes only the 8-byte granules that hold some
// addressable byte, which is what the firmware can change. A granule whose first byte is poisoned
// is poisoned whole.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANE_HOST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ORVANE_HOST_ASAN 1
#endif
#if defined(ORVANE_HOST_ASAN)
}  // namespace
extern "C" int __asan_address_is_poisoned(void const volatile* addr);
namespace {
std::vector<Region> withoutRedZones(const std::vector<Region>& regions) {
  constexpr std::size_t GRANULE = 8;
  std::vector<Region> spans;
  for (const Region& r : regions) {
    const auto begin = reinterpret_cast<std::uintptr_t>(r.at), end = begin + r.size;
    std::uintptr_t spanFrom = 0;
    bool inSpan = false;
    for (std::uintptr_t g = begin; g < end; g = (g / GRANULE + 1) * GRANULE) {
      const bool addressable = __asan_address_is_poisoned(reinterpret_cast<const void*>(g)) == 0;
      if (addressable && !inSpan) spanFrom = g;
      if (!addressable && inSpan) spans.push_back({reinterpret_cast<u8*>(spanFrom), g - spanFrom});
      inSpan = addressable;
    }
    if (inSpan) spans.push_back({reinterpret_cast<u8*>(spanFrom), end - spanFrom});
  }
  return spans;
}
#else
std::vector<Region> withoutRedZones(const std::vector<Region>& regions) { return regions; }
#endif

// The copy of the back-end's statics goes over the address sanitizer's red zones between them,
// which its checked memcpy would report; the C library's own copy is taken instead.
using CopyFn = void* (*)(void*, const void*, std::size_t);
#if defined(__SANITIZE_ADDRESS__) && !defined(__clang__)
// GCC's sanitizer runtime is a shared library ahead of the C library, so the next memcpy after
// this program is still its checked one: copy with uninstrumented loads and stores instead.
// Volatile, so that the loop is not turned back into a call to memcpy.
__attribute__((no_sanitize("address"))) void* copyOverRedZones(void* to, const void* from, std::size_t size) {
  auto* d = static_cast<volatile u8*>(to);
  const auto* s = static_cast<const volatile u8*>(from);
  std::size_t i = 0;
  if ((reinterpret_cast<std::uintptr_t>(to) | reinterpret_cast<std::uintptr_t>(from)) % sizeof(std::uint64_t) == 0)
    for (; i + sizeof(std::uint64_t) <= size; i += sizeof(std::uint64_t))
      *reinterpret_cast<volatile std::uint64_t*>(d + i) = *reinterpret_cast<const volatile std::uint64_t*>(s + i);
  for (; i < size; ++i) d[i] = s[i];
  return to;
}
CopyFn uncheckedCopy() { return copyOverRedZones; }
// Puts back every byte: no compare that the sanitizer would not check.
void restoreChanged(u8* live, const u8* saved, std::size_t size) { copyOverRedZones(live, saved, size); }
using CompareFn = int (*)(const void*, const void*, std::size_t);
CompareFn uncheckedCompare() { return static_cast<CompareFn>(std::memcmp); }
#else
CopyFn uncheckedCopy() {
  static const CopyFn copy = [] {
    void* next = dlsym(RTLD_NEXT, "memcpy");
    return next ? reinterpret_cast<CopyFn>(next) : static_cast<CopyFn>(std::memcpy);
  }();
  return copy;
}
using CompareFn = int (*)(const void*, const void*, std::size_t);
CompareFn uncheckedCompare() {
  static const CompareFn compare = [] {
    void* next = dlsym(RTLD_NEXT, "memcmp");
    return next ? reinterpret_cast<CompareFn>(next) : static_cast<CompareFn>(std::memcmp);
  }();
  return compare;
}
// Puts the saved bytes back where they differ, a block at a time: an input changes a small part
// of the back-end's statics and of the non-volatile window, and reading a block costs less than
// writing it (a write also takes the line into the cache and back to memory).
void restoreChanged(u8* live, const u8* saved, std::size_t size) {
  constexpr std::size_t BLOCK = 512;
  const CompareFn compare = uncheckedCompare();
  const CopyFn copy = uncheckedCopy();
  for (std::size_t at = 0; at < size; at += BLOCK) {
    const std::size_t n = std::min(BLOCK, size - at);
    if (compare(live + at, saved + at, n) != 0) copy(live + at, saved + at, n);
  }
}
#endif

// The first byte from `from` on where live and saved differ (size when none). It reads the
// sanitizer's red zones between objects too, which only an uninstrumented read may.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
std::size_t firstDifference(const u8* live, const u8* saved, std::size_t from, std::size_t size) {
  while (from < size && live[from] == saved[from]) ++from;
  return from;
}

}  // namespace

namespace platform {

u8* ddr(u32 addr, std::size_t len) {
  if (addr < SHARED_DDR_BASE) return nullptr;
  const u64 offset = addr - SHARED_DDR_BASE;
  if (offset + len > SHARED_DDR_SIZE) return nullptr;
  // Whoever holds the pointer may write through it: the span is cleared at the next reset.
  sharedDdr.markHandedOut(static_cast<std::size_t>(offset), len);
  return sharedDdr.base() + offset;
}

volatile u32* ocmWord(u32 addr) {
  const int i = ocmIndex(addr);
  return i < 0 ? nullptr : &ocmWords[static_cast<std::size_t>(i)];
}

u8* nvWindow() { return nvMemory.data(); }

u32 readRegister(u32 addr) {
  std::size_t block, word;
  return fpgaRegister(addr, block, word) ? fpgaRegisters[block].words[word] : 0;
}

void writeRegister(u32 addr, u32 value) {
  std::size_t block, word;
  if (fpgaRegister(addr, block, word)) fpgaRegisters[block].write(word, value);
}

u64 globalTimer() { return timerTicks; }
void waitTicks(u64 ticks) { timerTicks += ticks; }

void registerInterrupt(int irq, InterruptHandler handler) {
  if (irq >= 0 && static_cast<std::size_t>(irq) < handlers.size()) handlers[static_cast<std::size_t>(irq)] = handler;
}

void raiseInterrupt(int irq) {
  if (irq < 0 || static_cast<std::size_t>(irq) >= handlers.size()) return;
  if (InterruptHandler h = handlers[static_cast<std::size_t>(irq)]) h();
}

bool hwLockTry(int id) {
  const int i = id - HW_LOCK_FIRST;
  if (i < 0 || i >= N_HW_LOCKS || hwLocks[static_cast<std::size_t>(i)]) return false;
  hwLocks[static_cast<std::size_t>(i)] = true;
  return true;
}

void hwLockRelease(int id) {
  const int i = id - HW_LOCK_FIRST;
  if (i >= 0 && i < N_HW_LOCKS) hwLocks[static_cast<std::size_t>(i)] = false;
}

void consoleWrite(const u8* bytes, std::size_t len) {
  if (consoleSink) consoleSink(consoleCtx, reinterpret_cast<const char*>(bytes), len);
}

void dmaToNv(std::size_t offset, const u8* src, std::size_t len) {
  if (offset > NV_SIZE || len > NV_SIZE - offset) return;
  // Once the power is cut, what was not yet written never reaches the memory.
  const std::size_t n = len < nvBudget ? len : nvBudget;
  std::memcpy(nvMemory.data() + offset, src, n);
  if (nvBudget != host::NO_NV_BUDGET) nvBudget -= n;
  nvWritten += n;
  if (nvWriteSink) nvWriteSink(nvWriteCtx, offset, n);
}

void signalOtherCore() {
  if (signalSink) signalSink(signalCtx);
}

void jumpTo(u32 addr) {
  jumpAddress = addr;
  ++jumps;
}

HardwareInputs& hardwareInputs() { return inputs; }

bool driverTraceOn = false;
void driverTrace(const char* line) {
  if (traceSink) traceSink(traceCtx, line);
}

}  // namespace platform

namespace host {

void resetMachine(bool keepNv) {
  sharedDdr.clearHandedOut();
  if (!keepNv) nvMemory.fill(0);
  ocmWords.fill(0);
  for (auto& block : fpgaRegisters) block.clearWritten();
  hwLocks.fill(false);
  handlers.fill(nullptr);
  inputs = platform::HardwareInputs{};
  jumpAddress = 0;
  jumps = 0;
  nvBudget = NO_NV_BUDGET;
}

struct MachineSnapshot::Data {
  LazySharedMemory::Saved ddr;
  std::array<u8, platform::NV_SIZE> nv{};
  std::array<u32, 4> ocm{};
  std::array<RegisterBlock, 6> fpga{};
  std::array<bool, platform::N_HW_LOCKS> hwLocks{};
  std::array<platform::InterruptHandler, 64> handlers{};
  platform::HardwareInputs inputs{};
  u64 timerTicks = 0;
  u32 jumpAddress = 0;
  int jumps = 0;
  std::size_t nvBudget = NO_NV_BUDGET;
  u64 nvWritten = 0;
  std::vector<Region> firmware;
  std::vector<u8> firmwareBytes;
  // With watchWholeProcess(): every writable byte of the executable as save() found it.
  bool watching = false;
  std::vector<Region> segments;
  std::vector<u8> segmentBytes;
  std::vector<ObjectSymbol> objects;
  std::vector<ObjectSymbol> sections;
};

MachineSnapshot::MachineSnapshot() : data_(std::make_unique<Data>()) {
  // Where the statics lie does not change while the process runs: found once, for every snapshot.
  static const std::vector<Region> firmware = withoutRedZones(findFirmwareState());
  data_->firmware = firmware;
  std::size_t total = 0;
  for (const Region& r : data_->firmware) total += r.size;
  data_->firmwareBytes.resize(total);
}

MachineSnapshot::~MachineSnapshot() = default;

bool MachineSnapshot::includesFirmware() const { return !data_->firmware.empty(); }
std::size_t MachineSnapshot::firmwareBytes() const { return data_->firmwareBytes.size(); }

void MachineSnapshot::save() {
  Data& d = *data_;
  sharedDdr.save(d.ddr);
  d.nv = nvMemory;
  d.ocm = ocmWords;
  // Outside its written span a block is zero, and a restore carries back only the span.
  for (std::size_t b = 0; b < fpgaRegisters.size(); ++b) {
    const RegisterBlock& live = fpgaRegisters[b];
    RegisterBlock& saved = d.fpga[b];
    saved.writtenFrom = live.writtenFrom;
    saved.writtenTo = live.writtenTo;
    if (live.writtenFrom < live.writtenTo)
      std::memcpy(&saved.words[live.writtenFrom], &live.words[live.writtenFrom],
                  (live.writtenTo - live.writtenFrom) * sizeof(u32));
  }
  d.hwLocks = hwLocks;
  d.handlers = handlers;
  d.inputs = inputs;
  d.timerTicks = timerTicks;
  d.jumpAddress = jumpAddress;
  d.jumps = jumps;
  d.nvBudget = nvBudget;
  d.nvWritten = nvWritten;
  u8* to = d.firmwareBytes.data();
  for (const Region& r : d.firmware) {
    uncheckedCopy()(to, r.at, r.size);
    to += r.size;
  }
  if (!d.watching) return;
  d.segmentBytes.clear();
  for (const Region& r : d.segments) {
    d.segmentBytes.resize(d.segmentBytes.size() + r.size);
    uncheckedCopy()(d.segmentBytes.data() + d.segmentBytes.size() - r.size, r.at, r.size);
  }
}

void MachineSnapshot::watchWholeProcess() {
  Data& d = *data_;
  d.watching = true;
  d.segments = writableSegments();
  ObjectSymbols symbols = withExecutable(objectSymbolsIn);
  d.objects = std::move(symbols.objects);
  d.sections = std::move(symbols.sections);
}

std::vector<std::string> MachineSnapshot::changedSinceSave() const {
  const Data& d = *data_;
  std::vector<std::string> changed;
  if (!sharedDdr.sameAs(d.ddr)) changed.push_back("shared DDR");
  if (!d.watching) return changed;
  const u8* saved = d.segmentBytes.data();
  for (const Region& r : d.segments) {
    for (std::size_t i = 0; (i = firstDifference(r.at, saved, i, r.size)) < r.size; ++i) {
      const auto at = reinterpret_cast<std::uintptr_t>(r.at) + i;
      auto it = std::upper_bound(d.objects.begin(), d.objects.end(), at,
                                 [](std::uintptr_t a, const ObjectSymbol& o) { return a < o.at; });
      // The object around the byte, else its section.
      std::string name = "unnamed bytes";
      if (it != d.objects.begin() && at < std::prev(it)->at + std::prev(it)->size) {
        name = std::prev(it)->name;
        i = std::prev(it)->at + std::prev(it)->size - reinterpret_cast<std::uintptr_t>(r.at) - 1;  // on past it
      } else {
        for (const ObjectSymbol& section : d.sections)
          if (at >= section.at && at < section.at + section.size) name = section.name;
      }
      if (changed.empty() || changed.back() != name) changed.push_back(name);
    }
    saved += r.size;
  }
  return changed;
}

void MachineSnapshot::restore() const {
  const Data& d = *data_;
  sharedDdr.restore(d.ddr);
  restoreChanged(nvMemory.data(), d.nv.data(), nvMemory.size());
  ocmWords = d.ocm;
  for (std::size_t b = 0; b < fpgaRegisters.size(); ++b) fpgaRegisters[b].restore(d.fpga[b]);
  hwLocks = d.hwLocks;
  handlers = d.handlers;
  inputs = d.inputs;
  timerTicks = d.timerTicks;
  jumpAddress = d.jumpAddress;
  jumps = d.jumps;
  nvBudget = d.nvBudget;
  nvWritten = d.nvWritten;
  const u8* from = d.firmwareBytes.data();
  for (const Region& r : d.firmware) {
    restoreChanged(r.at, from, r.size);
    from += r.size;
  }
}

bool sameBytes(const void* a, const void* b, std::size_t len) { return uncheckedCompare()(a, b, len) == 0; }

void advanceMicros(u64 micros) { timerTicks += micros * platform::TIMER_TICKS_PER_US; }

void setConsoleSink(ConsoleSink sink, void* ctx) {
  consoleSink = sink;
  consoleCtx = ctx;
}

void setTraceSink(TraceSink sink, void* ctx) {
  traceSink = sink;
  traceCtx = ctx;
  platform::driverTraceOn = sink != nullptr;
}

void setSignalSink(SignalSink sink, void* ctx) {
  signalSink = sink;
  signalCtx = ctx;
}

void setNvWriteBudget(std::size_t bytes) { nvBudget = bytes; }
void setNvWriteSink(NvWriteSink sink, void* ctx) {
  nvWriteSink = sink;
  nvWriteCtx = ctx;
}
u64 nvBytesWritten() { return nvWritten; }

u32 lastJumpAddress() { return jumpAddress; }
int jumpCount() { return jumps; }

}  // namespace host
