// Small RAII holders for what a call takes and must give back on every
// path: a file descriptor, a malloc'ed text, parsed and mutable yyjson
// documents. Also the one strict JSON parse every reader uses.
#ifndef VS_HOLDERS_H
#define VS_HOLDERS_H

#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include <yyjson.h>

// An open descriptor, closed when the holder goes. close_now() closes early
// for callers that must see the result of close (a write's last error).
struct VsFd {
  int fd = -1;
  VsFd() = default;
  explicit VsFd(int f) : fd(f) {}
  VsFd(const VsFd &) = delete;
  VsFd &operator=(const VsFd &) = delete;
  ~VsFd() { reset(); }
  bool ok() const { return fd >= 0; }
  void reset(int f = -1) {
    if (fd >= 0) ::close(fd);
    fd = f;
  }
  int close_now() {
    int f = fd;
    fd = -1;
    return f >= 0 ? ::close(f) : 0;
  }
};

struct VsFree { void operator()(void *p) const { free(p); } };
struct VsDocFree { void operator()(yyjson_doc *d) const { yyjson_doc_free(d); } };
struct VsMutDocFree { void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); } };
using VsText = std::unique_ptr<char, VsFree>;
using VsDoc = std::unique_ptr<yyjson_doc, VsDocFree>;
using VsMutDoc = std::unique_ptr<yyjson_mut_doc, VsMutDocFree>;

// Strict parse with the library's default options. err, when given, tells
// bad JSON apart from the parser running out of memory.
inline yyjson_doc *vs_parse(const char *text, size_t len,
                            yyjson_read_err *err = nullptr) {
  return yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, err);
}

#endif
