# Platform features the code uses when present, each with a portable fallback. The results become
# compile definitions KOV_HAVE_<FEATURE> (0 or 1) for every target. KOV_PORTABLE=ON forces every
# fallback, so that the code paths of other systems are built and tested here too; results do not
# depend on the choice.
include(CheckCXXSourceCompiles)

option(KOV_PORTABLE "Use the portable fallback of every platform feature" OFF)

set(KOV_PLATFORM_FEATURES INT128 SCHED_GETAFFINITY SYSINFO SYSCONF_PHYS_PAGES HUGE_PAGES)

set(KOV_CHECK_INT128 "
int main() {
    unsigned __int128 product = static_cast<unsigned __int128>(~0ULL) * ~0ULL;
    return static_cast<int>(product >> 127) - 1;
}")
set(KOV_CHECK_SCHED_GETAFFINITY "
#include <sched.h>
int main() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) * 0 : 0;
}")
set(KOV_CHECK_SYSINFO "
#include <sys/sysinfo.h>
int main() {
    struct sysinfo info {};
    return sysinfo(&info) == 0 ? static_cast<int>(info.mem_unit * 0) : 0;
}")
set(KOV_CHECK_SYSCONF_PHYS_PAGES "
#include <unistd.h>
int main() { return static_cast<int>(sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE) * 0); }")
set(KOV_CHECK_HUGE_PAGES "
#include <sys/mman.h>
int main() {
    void* memory = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    madvise(memory, 4096, MADV_HUGEPAGE);
    return munmap(memory, 4096);
}")

foreach(feature ${KOV_PLATFORM_FEATURES})
  if(KOV_PORTABLE)
    set(KOV_HAVE_${feature} 0)
  else()
    check_cxx_source_compiles("${KOV_CHECK_${feature}}" KOV_HAVE_${feature}_CHECK)
    if(KOV_HAVE_${feature}_CHECK)
      set(KOV_HAVE_${feature} 1)
    else()
      set(KOV_HAVE_${feature} 0)
    endif()
  endif()
  add_compile_definitions(KOV_HAVE_${feature}=${KOV_HAVE_${feature}})
  message(STATUS "kov_sr: KOV_HAVE_${feature}=${KOV_HAVE_${feature}}")
endforeach()
