// Pieces every subcommand of the command-line host shares: the data-root
// rules, turning the library's results into output and exit codes, reading
// a document or a secret to hand to the library, and printing JSON.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <sys/stat.h>
#include <time.h>


#include "admin/tree.h"
#include "host.h"

const char vh_program[] = "keldrune-vault";

namespace {

bool s_line_start = true;   // the next byte on stderr begins a line
bool s_meter_shown = false; // a progress line stands on the terminal

void vh_raw(const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(STDERR_FILENO, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // nowhere left to report it
    p += w;
    n -= (size_t)w;
  }
}

void vh_meter_wipe() {
  if (!s_meter_shown) return;
  vh_raw("\r\033[K", 4);
  s_meter_shown = false;
}

// The write function of the stderr stream: the program's name before every
// line. The stream is unbuffered, and glibc hands one fprintf over whole,
// so a line that already carries the name is seen as such at its start.
ssize_t vh_stderr_write(void *, const char *buf, size_t size) {
  vh_meter_wipe();
  size_t i = 0;
  const size_t plen = strlen(vh_program);
  while (i < size) {
    if (buf[i] == '\r') {  // a line redrawn in place starts afresh
      vh_raw(buf + i, 1);
      i++;
      s_line_start = true;
      continue;
    }
    if (s_line_start) {
      bool named = size - i > plen && memcmp(buf + i, vh_program, plen) == 0 && buf[i + plen] == ':';
      if (!named) {
        vh_raw(vh_program, plen);
        vh_raw(": ", 2);
      }
      s_line_start = false;
    }
    const char *nl = (const char *)memchr(buf + i, '\n', size - i);
    const char *cr = (const char *)memchr(buf + i, '\r', size - i);
    const char *stop = nl && (!cr || nl < cr) ? nl + 1 : cr ? cr : buf + size;
    vh_raw(buf + i, (size_t)(stop - (buf + i)));
    if (nl && stop == nl + 1) s_line_start = true;
    i = (size_t)(stop - buf);
  }
  return (ssize_t)size;
}

double vh_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Draws a progress line in place of the one standing, named like every
// message; the next message wipes it first.
void vh_meter_draw(const char *text) {
  fflush(stderr);
  vh_raw("\r\033[K", 4);
  vh_raw(vh_program, strlen(vh_program));
  vh_raw(": ", 2);
  vh_raw(text, strlen(text));
  s_meter_shown = true;
}

}  // namespace

void vh_messages_init() {
  cookie_io_functions_t io = {nullptr, vh_stderr_write, nullptr, nullptr};
  FILE *f = fopencookie(nullptr, "w", io);
  if (!f) return;  // plain messages then
  setvbuf(f, nullptr, _IONBF, 0);
  stderr = f;
}

void vh_meter_start(VhMeter &m, const VhContext &ctx, const char *what, const char *unit,
                    long total) {
  m = VhMeter();
  m.what = what;
  m.unit = unit;
  m.total = total;
  m.on = !ctx.quiet && isatty(STDERR_FILENO) == 1;
  if (m.on) m.start = m.last = vh_now();
}

std::string vh_meter_text(const VhMeter &m, double elapsed) {
  char line[256];
  int n = snprintf(line, sizeof line, "%s: %ld", m.what, m.done);
  if (m.total >= 0 && n > 0 && (size_t)n < sizeof line)
    n += snprintf(line + n, sizeof line - n, " of %ld", m.total);
  if (n > 0 && (size_t)n < sizeof line)
    n += snprintf(line + n, sizeof line - n, " %s", m.unit);
  if (m.total > 0 && n > 0 && (size_t)n < sizeof line)
    n += snprintf(line + n, sizeof line - n, " (%ld%%)",
                  (long)((double)m.done * 100.0 / (double)m.total));
  if (m.note[0] && n > 0 && (size_t)n < sizeof line)
    n += snprintf(line + n, sizeof line - n, "%s", m.note);
  if (elapsed > 0 && n > 0 && (size_t)n < sizeof line)
    snprintf(line + n, sizeof line - n, ", %.0f/s", (double)m.done / elapsed);
  return line;
}

static void vh_meter_show(VhMeter &m) {
  if (!m.on) return;
  double now = vh_now();
  // Nothing for a job done within half a second; then five lines a second.
  if (now - m.start < 0.5 || (s_meter_shown && now - m.last < 0.2)) return;
  m.last = now;
  vh_meter_draw(vh_meter_text(m, now - m.start).c_str());
}

void vh_meter_add(VhMeter &m, long n) {
  m.done += n;
  vh_meter_show(m);
}

void vh_meter_set(VhMeter &m, long done, long total, const char *note) {
  m.done = done;
  m.total = total;
  snprintf(m.note, sizeof m.note, "%s", note ? note : "");
  vh_meter_show(m);
}

void vh_meter_end(VhMeter &m) {
  if (m.on) vh_meter_wipe();
  m.on = false;
}

bool vh_init(VhContext &ctx) {
  if (vault_storage_init(ctx.root.c_str()) != 0) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return false;
  }
  return true;
}

// Only init and demo create a data root: a mistyped --root must fail, not
// grow a fresh tree and answer "no" or zeros from it. The library checks
// the root (admin/tree.h) and keeps it as its one root; with users/ and
// config.json present, its init creates nothing.
int vh_data_root(VhContext &ctx, bool open_library) {
  const char *root = ctx.root.c_str();
  if (vs_admin_open(root) != 0 || (open_library && vault_storage_init(root) != 0)) {
    fprintf(stderr, "%s\n", vault_storage_last_error());
    return VH_FAIL;
  }
  return VH_OK;
}

int vh_account(const VhContext &, const std::string &user_id) {
  int rc = vs_admin_account_there(vs_admin_root(), user_id.c_str());
  if (rc == 0) return VH_OK;
  fprintf(stderr, "%s\n", vault_storage_last_error());
  return rc == 1 ? VH_SOFT : VH_FAIL;
}

// From the library's result code: what is missing or already there is 1
// (so are all soft results), input the library refuses is 2, the rest is a
// failure.
int vh_exit_for(int rc, int code) {
  if (rc == 1) return VH_SOFT;
  switch (code) {
    case VAULT_NOT_FOUND:
    case VAULT_EXISTS:
    case VAULT_MISMATCH:
    case VAULT_CHANGED: return VH_SOFT;
    case VAULT_INVALID: return VH_USAGE;
    default: return VH_FAIL;
  }
}

int vh_result(int rc) {
  if (rc == 0) return VH_OK;
  fprintf(stderr, "%s\n", vault_storage_last_error());
  return vh_exit_for(rc, vault_storage_last_error_code());
}

int vh_text(const char *text) {
  if (!text) return vh_result(-1);
  printf("%s\n", text);
  return VH_OK;
}

int vh_owned(const VhContext &ctx, char *text, size_t len) {
  if (!text) return vh_result(-1);
  bool written = false;
  if (ctx.pretty) {
    VsDoc doc(yyjson_read_opts(text, len, YYJSON_READ_ALLOW_INVALID_UNICODE, nullptr, nullptr));
    char *out = doc ? yyjson_write(doc.get(), YYJSON_WRITE_PRETTY | YYJSON_WRITE_ALLOW_INVALID_UNICODE,
                                   nullptr)
                    : nullptr;
    if (out) {
      printf("%s\n", out);
      free(out);
      written = true;
    }
  }
  if (!written) {
    fwrite(text, 1, len, stdout);
    if (ctx.line_end || ctx.pretty || isatty(STDOUT_FILENO)) fputc('\n', stdout);
  }
  vault_free(text);
  return VH_OK;
}

bool vh_read_input(const std::string &path, std::string &out) {
  VsFd own;
  int fd = STDIN_FILENO;
  if (path != "-") {
    own.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!own.ok()) return false;
    fd = own.fd;
  }
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, (size_t)n);
  }
}

int vh_document(const std::string &input, std::string &text) {
  size_t first = input.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && (input[first] == '{' || input[first] == '[')) {
    text = input;
    return VH_OK;
  }
  if (vh_read_input(input, text)) return VH_OK;
  fprintf(stderr, "cannot read %s: %s\n", input == "-" ? "standard input" : input.c_str(),
          strerror(errno));
  return VH_USAGE;
}

bool vh_secret(const std::string &value, const std::string &file, const char *what,
               std::string &out) {
  if (file.empty() && value != "-") {
    out = value;
    return true;
  }
  const std::string &from = file.empty() ? value : file;
  if (!vh_read_input(from, out)) {
    fprintf(stderr, "cannot read the %s from %s: %s\n", what,
            from == "-" ? "standard input" : from.c_str(), strerror(errno));
    return false;
  }
  // Its first line, without the line end.
  size_t end = out.find('\n');
  if (end != std::string::npos) out.resize(end);
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

namespace {

bool vh_write_json(yyjson_mut_doc *doc, yyjson_write_flag flags) {
  char *text = yyjson_mut_write(doc, flags | YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  if (!text) return false;
  printf("%s\n", text);
  free(text);
  return true;
}

}  // namespace

bool vh_print_json(yyjson_mut_doc *doc) { return vh_write_json(doc, 0); }

bool vh_print_json(const VhContext &ctx, yyjson_mut_doc *doc) {
  return vh_write_json(doc, ctx.pretty ? YYJSON_WRITE_PRETTY : 0);
}

// One member, a string (text) or a boolean, as the object {key: value}.
static int vh_print_member(const VhContext &ctx, const char *key, const char *text, bool flag) {
  VsMutDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val *obj = doc ? yyjson_mut_obj(doc.get()) : nullptr;
  bool printed = false;
  if (obj) {
    yyjson_mut_doc_set_root(doc.get(), obj);
    printed = (text ? yyjson_mut_obj_add_strcpy(doc.get(), obj, key, text)
                    : yyjson_mut_obj_add_bool(doc.get(), obj, key, flag)) &&
              vh_print_json(ctx, doc.get());
  }
  if (!printed) fprintf(stderr, "cannot write the result: out of memory\n");
  return printed ? VH_OK : VH_FAIL;
}

int vh_print_value(const VhContext &ctx, const char *key, const char *text) {
  if (!ctx.json) {
    printf("%s\n", text);
    return VH_OK;
  }
  return vh_print_member(ctx, key, text, false);
}

int vh_print_flag(const VhContext &ctx, const char *key, bool flag) {
  if (!ctx.json) {
    printf("%s\n", flag ? "yes" : "no");
    return VH_OK;
  }
  return vh_print_member(ctx, key, nullptr, flag);
}
