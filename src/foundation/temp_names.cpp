// Making and recognising temporary names (the grammar is in temp_names.h).
#include "temp_names.h"

#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "text.h"

static unsigned s_tmp_seq;  // makes retry and parked names unique per process

int vs_temp_time(void) { return (int)(uint32_t)(uint64_t)time(nullptr); }

int vs_temp_write_name(char *buf, size_t size, const char *target, int now) {
  return vs_path(buf, size, VS_TEMP_WRITE_FMT, target, now);
}

int vs_temp_retry_name(char *buf, size_t size, const char *target, int now) {
  return vs_path(buf, size, VS_TEMP_WRITE_FMT ".%ld.%u", target, now, (long)getpid(),
                 ++s_tmp_seq);
}

int vs_temp_parked_name(char *buf, size_t size, const char *name) {
  return vs_path(buf, size, "%s" VS_TEMP_MARK "%ld.%u", name, (long)getpid(), ++s_tmp_seq);
}

int vs_temp_marked(const char *name) { return strstr(name, VS_TEMP_MARK) != nullptr; }
