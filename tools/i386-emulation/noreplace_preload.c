/*
 * Preloaded into every 32-bit x86 process that qemu-i386 emulates (see
 * setup.sh): gives mmap's MAP_FIXED_NOREPLACE the kernel's meaning.
 *
 * The kernel maps a MAP_FIXED_NOREPLACE request exactly where asked or fails
 * with EEXIST. qemu-user (Debian 12's 7.2) takes the address as a hint: when
 * the range is taken, it searches the guest's page table, page by page, for
 * another place and maps there. The 32-bit Wine loader reserves the Windows
 * address space at start-up with such requests, halving a refused range down
 * to 64 KiB blocks; every refusal then costs a linear search and a map and
 * unmap of the misplaced block, and the misplaced blocks above 2 GiB stay
 * reserved and refuse the next reservation in turn. One process start made
 * over 100,000 such calls and took a minute of CPU.
 *
 * This library keeps a record of the mapped ranges (the process's maps at the
 * first call, then every map and unmap made through mmap/munmap) and refuses a
 * MAP_FIXED_NOREPLACE request that overlaps one at once. A request the record
 * lets through but qemu places elsewhere (a range mapped behind the record's
 * back, by the dynamic loader) is unmapped and refused, as the kernel would.
 * A stale record can refuse a free range, which callers treat as taken.
 *
 * Built without the C library's headers or static parts (gcc -m32 on an
 * x86-64 machine has no 32-bit development files): the symbols below are
 * resolved from the process's own libc.so.6 at load time.
 */

#define MAP_FAILED ((void *)-1)
#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
#define O_RDONLY 0
#define RTLD_NEXT ((void *)-1)
#define MAX_RANGES 8192
#define PRELOAD_VARIABLE "LD_PRELOAD"

typedef unsigned long address;

extern int *__errno_location(void);
extern void *dlsym(void *handle, const char *name);
extern int open(const char *path, int flags, ...);
extern long read(int fd, void *buffer, unsigned long size);
extern int close(int fd);
extern char *getenv(const char *name);
extern int setenv(const char *name, const char *value, int overwrite);
extern int unsetenv(const char *name);

typedef void *(*mmap64_function)(void *, unsigned long, int, int, int, long long);
typedef int (*munmap_function)(void *, unsigned long);

struct range { address start, end; };

static struct range ranges[MAX_RANGES];
static int range_count;
static int record_loaded;
static volatile int record_lock;
static mmap64_function next_mmap64;
static munmap_function next_munmap;

static void lock_record(void) { while (__sync_lock_test_and_set(&record_lock, 1)) {} }
static void unlock_record(void) { __sync_lock_release(&record_lock); }

/* A full record stops growing: requests it misses fall back to the check
 * of where qemu placed them. */
static void record_range(address start, address end)
{
    if (start < end && range_count < MAX_RANGES) {
        ranges[range_count].start = start;
        ranges[range_count].end = end;
        range_count++;
    }
}

static void forget_range(address start, address end)
{
    int i, count = range_count;
    for (i = 0; i < count; i++) {
        struct range *r = &ranges[i];
        if (r->end <= start || end <= r->start) continue;
        if (r->start < start && end < r->end) {
            record_range(end, r->end);
            r->end = start;
        } else if (r->start < start) {
            r->end = start;
        } else if (end < r->end) {
            r->start = end;
        } else {
            r->start = r->end = 0;
        }
    }
}

static int overlaps_record(address start, address end)
{
    int i;
    for (i = 0; i < range_count; i++)
        if (ranges[i].start < end && start < ranges[i].end) return 1;
    return 0;
}

static address parse_hex(const char **text)
{
    address value = 0;
    for (;; (*text)++) {
        char c = **text;
        if (c >= '0' && c <= '9') value = value * 16 + (address)(c - '0');
        else if (c >= 'a' && c <= 'f') value = value * 16 + (address)(c - 'a' + 10);
        else return value;
    }
}

/* The ranges mapped before the first call: the executable, the loader, the
 * libraries, the stack ("start-end perms ..." a line). */
static void load_record(void)
{
    static char maps[1 << 17];
    long total = 0, n;
    const char *line;
    int fd;

    next_mmap64 = (mmap64_function)dlsym(RTLD_NEXT, "mmap64");
    next_munmap = (munmap_function)dlsym(RTLD_NEXT, "munmap");
    record_loaded = 1;
    if ((fd = open("/proc/self/maps", O_RDONLY)) < 0) return;
    while (total < (long)sizeof(maps) - 1 &&
           (n = read(fd, maps + total, sizeof(maps) - 1 - (unsigned long)total)) > 0)
        total += n;
    close(fd);
    maps[total] = 0;
    for (line = maps; *line;) {
        address start = parse_hex(&line), end;
        if (*line != '-') break;
        line++;
        end = parse_hex(&line);
        record_range(start, end);
        while (*line && *line != '\n') line++;
        if (*line) line++;
    }
}

static void *refuse(void)
{
    *__errno_location() = EEXIST;
    return MAP_FAILED;
}

void *mmap64(void *wanted, unsigned long size, int prot, int flags, int fd, long long offset)
{
    address start = (address)wanted;
    int exact_or_fail = (flags & MAP_FIXED_NOREPLACE) && !(flags & MAP_FIXED);
    void *mapped;

    lock_record();
    if (!record_loaded) load_record();
    if (exact_or_fail && overlaps_record(start, start + size)) {
        unlock_record();
        return refuse();
    }
    mapped = next_mmap64(wanted, size, prot, flags, fd, offset);
    if (mapped != MAP_FAILED && exact_or_fail && mapped != wanted) {
        next_munmap(mapped, size);
        unlock_record();
        return refuse();
    }
    if (mapped != MAP_FAILED) {
        forget_range((address)mapped, (address)mapped + size);
        record_range((address)mapped, (address)mapped + size);
    }
    unlock_record();
    return mapped;
}

void *mmap(void *wanted, unsigned long size, int prot, int flags, int fd, long offset)
{
    return mmap64(wanted, size, prot, flags, fd, offset);
}

int munmap(void *start, unsigned long size)
{
    int result;
    lock_record();
    if (!record_loaded) load_record();
    result = next_munmap(start, size);
    if (result == 0) forget_range((address)start, (address)start + size);
    unlock_record();
    return result;
}

/* The emulator's wrapper puts this library first in LD_PRELOAD; the programs
 * this process starts must not inherit it (64-bit ones cannot load it, and
 * every emulated one gets it from the wrapper again). */
__attribute__((constructor)) static void leave_environment(void)
{
    const char *list = getenv(PRELOAD_VARIABLE);
    const char *rest = list;
    if (!list) return;
    while (*rest && *rest != ' ' && *rest != ':') rest++;
    while (*rest == ' ' || *rest == ':') rest++;
    if (*rest) setenv(PRELOAD_VARIABLE, rest, 1);
    else unsetenv(PRELOAD_VARIABLE);
}
