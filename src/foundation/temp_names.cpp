// Making and recognising temporary names (the grammar is in temp_names.h).
#include "temp_names.h"

#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "text.h"

// Makes retry and parked names unique per process, whatever thread asks.
static std::atomic<unsigned> s_tmp_seq;

static unsigned vs_temp_seq(void) { return s_tmp_seq.fetch_add(1, std::memory_order_relaxed) + 1; }

int vs_temp_time(void) { return (int)(uint32_t)(uint64_t)time(nullptr); }

int vs_temp_write_name(char *buf, size_t size, const char *target, int now) {
  return vs_path(buf, size, VS_TEMP_WRITE_FMT, target, now);
}

int vs_temp_retry_name(char *buf, size_t size, const char *target, int now) {
  return vs_path(buf, size, VS_TEMP_WRITE_FMT ".%ld.%u", target, now, (long)getpid(),
                 vs_temp_seq());
}

int vs_temp_parked_name(char *buf, size_t size, const char *name) {
  return vs_path(buf, size, "%s" VS_TEMP_MARK "%ld.%u", name, (long)getpid(), vs_temp_seq());
}

int vs_temp_marked(const char *name) { return strstr(name, VS_TEMP_MARK) != nullptr; }

// Counts the dot-separated groups of decimal digits that make up all of s
// (only the first may start with '-' when signed_first); 0 when s is not
// such a sequence.
static int vs_digit_groups(const char *s, bool signed_first) {
  int groups = 0;
  for (;;) {
    if (groups == 0 && signed_first && *s == '-') s++;
    const char *start = s;
    while (*s >= '0' && *s <= '9') s++;
    if (s == start) return 0;
    groups++;
    if (*s == '\0') return groups;
    if (*s != '.') return 0;
    s++;
  }
}

VsTempKind vs_temp_kind(const char *name, size_t *target_len) {
  // The mark that starts the suffix is the last one followed only by digit
  // groups; a target name may itself contain the mark.
  const size_t mark = sizeof VS_TEMP_MARK - 1;
  for (const char *at = strstr(name, VS_TEMP_MARK); at; at = strstr(at + 1, VS_TEMP_MARK)) {
    if (at == name) continue;  // a temporary always belongs to some name
    const char *tail = at + mark;
    VsTempKind kind = VS_TEMP_NONE;
    switch (vs_digit_groups(tail, true)) {
      case 1: kind = VS_TEMP_WRITE; break;
      case 3: kind = VS_TEMP_WRITE_RETRY; break;
      case 2: kind = tail[0] != '-' ? VS_TEMP_PARKED : VS_TEMP_NONE; break;
      default: break;
    }
    if (kind == VS_TEMP_NONE) continue;
    if (target_len) *target_len = (size_t)(at - name);
    return kind;
  }
  return VS_TEMP_NONE;
}
