// Sync document and storage statistics, on account trees made by hand.
#include <errno.h>
#include <malloc.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "test_util.h"

namespace {

const char k_empty_sync[] =
    "{\"profile\":{},\"folders\":[],\"ciphers\":[],\"domains\":{\"disablePersonalOwner\":false,"
    "\"disableSend\":true,\"disableWebVault\":false,\"sshKeyHostDomains\":[],\"csp\":{}},"
    "\"object\":\"sync\"}";

yyjson_doc *parse_text(const std::string &t) {
  return yyjson_read_opts(const_cast<char *>(t.data()), t.size(), 0, nullptr, nullptr);
}

// The sync document built the long way: every file deep-copied into one
// mutable document, which is then written once.
std::string reference_sync(const std::string &dir) {
  yyjson_mut_doc *out = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(out);
  yyjson_mut_doc_set_root(out, root);
  yyjson_doc *profile = parse_text(vt_read(dir + "/profile.json"));
  yyjson_mut_obj_add_val(out, root, "profile", yyjson_val_mut_copy(out, yyjson_doc_get_root(profile)));
  yyjson_doc_free(profile);

  yyjson_mut_val *folders = yyjson_mut_arr(out);
  yyjson_mut_obj_add_val(out, root, "folders", folders);
  yyjson_doc *fd = parse_text(vt_read(dir + "/folders.json"));
  yyjson_val *froot = yyjson_doc_get_root(fd);
  if (yyjson_is_arr(froot)) {
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(froot, i, n, v) yyjson_mut_arr_append(folders, yyjson_val_mut_copy(out, v));
  }
  yyjson_doc_free(fd);

  yyjson_mut_val *ciphers = yyjson_mut_arr(out);
  yyjson_mut_obj_add_val(out, root, "ciphers", ciphers);
  for (const std::string &name : vt_list(dir + "/ciphers")) {
    if (!vs_item_file_name(name.c_str())) continue;
    yyjson_doc *cd = parse_text(vt_read(dir + "/ciphers/" + name));
    if (cd) yyjson_mut_arr_append(ciphers, yyjson_val_mut_copy(out, yyjson_doc_get_root(cd)));
    yyjson_doc_free(cd);
  }

  yyjson_mut_val *domains = yyjson_mut_obj(out);
  yyjson_mut_obj_add_val(out, root, "domains", domains);
  yyjson_mut_obj_add_bool(out, domains, "disablePersonalOwner", false);
  yyjson_mut_obj_add_bool(out, domains, "disableSend", true);
  yyjson_mut_obj_add_bool(out, domains, "disableWebVault", false);
  yyjson_mut_obj_add_val(out, domains, "sshKeyHostDomains", yyjson_mut_arr(out));
  yyjson_mut_obj_add_val(out, domains, "csp", yyjson_mut_obj(out));
  yyjson_mut_obj_add_str(out, root, "object", "sync");
  char *text = yyjson_mut_write(out, 0, nullptr);
  std::string s = text ? text : "<write failed>";
  free(text);
  yyjson_mut_doc_free(out);
  return s;
}

// The serialised elements of the result's "ciphers" array, sorted (the
// listing order is the platform's).
std::vector<std::string> cipher_texts(const char *sync) {
  std::vector<std::string> out;
  yyjson_doc *d = yyjson_read(sync, strlen(sync), 0);
  yyjson_val *arr = yyjson_obj_get(yyjson_doc_get_root(d), "ciphers");
  size_t i, n;
  yyjson_val *v;
  yyjson_arr_foreach(arr, i, n, v) {
    char *t = yyjson_val_write(v, 0, nullptr);
    out.push_back(t);
    free(t);
  }
  yyjson_doc_free(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::string err() { return vault_storage_last_error(); }

}  // namespace

class SyncDoc : public VaultTest {
 protected:
  const std::string uid = "u1";
  std::string dir;
  void SetUp() override {
    VaultTest::SetUp();
    dir = make_account(uid);
  }
  void cipher(const std::string &name, const std::string &text) { vt_write(dir + "/ciphers/" + name, text); }
};

TEST_F(SyncDoc, EmptyAccountGivesTheFixed172Bytes) {
  unlink((dir + "/folders.json").c_str());
  const char *s = vault_sync_generate_json(uid.c_str());
  ASSERT_EQ(s, vs_result_buf(VS_RES_SYNC)) << err();
  EXPECT_STREQ(s, k_empty_sync);
  EXPECT_EQ(strlen(s), 172u);
  // The missing folder list is passed over, but its read failure stays.
  EXPECT_EQ(err(), "read failed: " + dir + "/folders.json (" + strerror(ENOENT) + ")");

  vt_write(dir + "/folders.json", "[]");
  EXPECT_STREQ(vault_sync_generate_json(uid.c_str()), k_empty_sync);
}

TEST_F(SyncDoc, RefusesBadIdsMissingAccountsAndCorruptProfiles) {
  const char *good = vault_sync_generate_json(uid.c_str());
  ASSERT_NE(good, nullptr);
  for (const char *bad : {(const char *)nullptr, "", "a/b", "a.b", "..", "a b"}) {
    EXPECT_EQ(vault_sync_generate_json(bad), nullptr);
    EXPECT_EQ(err(), "sync: bad user id");
  }
  EXPECT_EQ(vault_sync_generate_json(std::string(65, 'a').c_str()), nullptr);
  EXPECT_EQ(good[0], '\0');  // a failed call empties the earlier result

  EXPECT_EQ(vault_sync_generate_json("nobody"), nullptr);
  EXPECT_EQ(err(), "sync: user not found");

  for (const char *profile : {"[]", "{\"a\":1,}", "", "{} x", "\"s\""}) {
    vt_write(dir + "/profile.json", profile);
    EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr) << profile;
    EXPECT_EQ(err(), "sync: corrupt profile") << profile;
  }

  vault_storage_cleanup();
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(err(), "sync: bad user id");
}

TEST_F(SyncDoc, CopiesAreReserialisedLikeOneFullCopy) {
  vt_write(dir + "/profile.json",
           "{ \"email\" : \"a@b.c\", \"k\":1, \"k\":\"x\\/y\", \"n\":1.0E2, \"u\":\"\\u00e9\\u0000z\" }");
  vt_write(dir + "/folders.json", "[ {\"id\":\"f1\"}, 7, \"s\", [1,[2]], null ]");
  cipher("a.json", "{\"id\":\"a\",\"id\":\"b\",\"t\":[true,false,null,-0.0,12345678901234567890]}");
  cipher("b.json", "[ 1e5 , \"\\u2028\" ]");
  cipher("c.json", "\"just a string\"");
  cipher("d.json", "  42  ");

  const char *s = vault_sync_generate_json(uid.c_str());
  ASSERT_NE(s, nullptr) << err();
  EXPECT_EQ(std::string(s), reference_sync(dir));
  std::string text = s;
  EXPECT_EQ(text.rfind("{\"profile\":{\"email\":\"a@b.c\",\"k\":1,\"k\":\"x/y\",\"n\":100.0,"
                       "\"u\":\"\xc3\xa9\\u0000z\"},\"folders\":[{\"id\":\"f1\"},7,\"s\",[1,[2]],null],",
                       0),
            0u)
      << text;
  EXPECT_EQ(cipher_texts(s),
            (std::vector<std::string>{"\"just a string\"", "42",
                                      "[100000.0,\"\xe2\x80\xa8\"]",
                                      "{\"id\":\"a\",\"id\":\"b\",\"t\":[true,false,null,-0.0,"
                                      "12345678901234567890]}"}));
  std::string tail = std::string(k_empty_sync).substr(strlen("{\"profile\":{},\"folders\":[],\"ciphers\":[]"));
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// Each item is parsed and written in the thread's arena, with whatever
// does not fit taken from the heap: the reader's values, the writer's text
// or both, or a block that outgrows the arena while being written. Sizes
// on both sides of that room, strings with escapes that grow and shrink on
// the way out, in both outputs, several rounds (the arena is emptied after
// every item, small ones come between large ones) and from a second thread (an arena of its own).
TEST_F(SyncDoc, ItemsOfEverySizeAreWrittenAsOneFullCopy) {
  auto item = [](const std::string &id, size_t values, size_t string_len) {
    std::string t = "{ \"id\" : \"" + id + "\", \"s\":\"";
    for (size_t i = 0; i < string_len; i++) t += i % 97 == 0 ? "\\u00e9" : i % 89 == 0 ? "\\n" : "x";
    t += "\", \"v\": [";
    for (size_t i = 0; i < values; i++) t += (i ? ", " : "") + std::to_string(i) + (i % 3 ? ".5e1" : "");
    return t + "] }";
  };
  // values and longest string: small; the writer's reserve beyond the
  // room (one long string); the reader's values beyond it; both.
  const size_t shapes[][2] = {{4, 10},    {20, 300}, {10, 30000}, {4, 10},
                              {12000, 10}, {20, 300}, {9000, 20000}, {4, 10}};
  for (size_t k = 0; k < 8; k++) {
    std::string id = "i" + std::to_string(k);
    cipher(id + ".json", item(id, shapes[k][0], shapes[k][1]));
  }
  const std::string want = reference_sync(dir);
  const char *fixed = vault_sync_generate_json(uid.c_str());
  ASSERT_NE(fixed, nullptr) << err();
  EXPECT_EQ(std::string(fixed), want);
  for (int i = 0; i < 2; i++) {
    size_t len = 0;
    char *grown = vault_sync_generate_json_alloc(uid.c_str(), &len);
    ASSERT_NE(grown, nullptr) << err();
    EXPECT_EQ(std::string(grown, len), want);
    free(grown);
  }
  std::string other;
  std::thread([&] {
    const char *t = vault_sync_generate_json(uid.c_str());
    other = t ? t : "<NULL: " + err() + ">";
  }).join();
  EXPECT_EQ(other, want);
}

TEST_F(SyncDoc, FolderListThatIsNotAnArrayGivesEmptyFolders) {
  for (const char *list : {"{}", "[", "", "[1,]"}) {
    vt_write(dir + "/folders.json", list);
    const char *s = vault_sync_generate_json(uid.c_str());
    ASSERT_NE(s, nullptr) << list;
    EXPECT_STREQ(s, k_empty_sync) << list;
  }
}

TEST_F(SyncDoc, PassesOverEntriesThatAreNotReadableCipherFiles) {
  for (const char *name : {".hidden.json", "a.tmp.1.json", "c3.JSON", "notes.txt", ".json",
                           "x.json.tmp.17"})
    cipher(name, "1");
  cipher("empty.json", "");
  cipher("bad.json", "{,}");
  // Not regular files: a FIFO would block a plain open; a directory fails
  // its read. Neither may hang or fail the call.
  ASSERT_EQ(mkfifo((dir + "/ciphers/x.json").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir + "/ciphers/d.json").c_str(), 0700), 0);
  cipher("a.json", "{\"k\":\"v\"}");
  cipher("s.json", "[\"arr\"]");
  vt_write(dir + "/trash/t.json", "\"trashed\"");

  const char *s = vault_sync_generate_json(uid.c_str());
  ASSERT_NE(s, nullptr) << err();
  EXPECT_EQ(cipher_texts(s), (std::vector<std::string>{"[\"arr\"]", "{\"k\":\"v\"}"}));
}

TEST_F(SyncDoc, LinksInsideTheAccountAreNotFollowed) {
  std::string out = base + "/outside";
  mkdir(out.c_str(), 0700);
  vt_write(out + "/x.json", "\"outside\"");
  ASSERT_EQ(symlink((out + "/x.json").c_str(), (dir + "/ciphers/ln.json").c_str()), 0);
  EXPECT_STREQ(vault_sync_generate_json(uid.c_str()), k_empty_sync);
  // A link in place of the whole directory is no empty one: the client
  // would take every item for deleted.
  vt_rm_rf(dir + "/ciphers");
  ASSERT_EQ(symlink(out.c_str(), (dir + "/ciphers").c_str()), 0);
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(err(), "sync: cannot read " + dir + "/ciphers (" + strerror(ELOOP) + ")");
}

TEST_F(SyncDoc, MissingCiphersDirectoryGivesEmptyCiphers) {
  rmdir((dir + "/ciphers").c_str());
  EXPECT_STREQ(vault_sync_generate_json(uid.c_str()), k_empty_sync);
}

TEST_F(SyncDoc, TextOfExactly262142BytesIsTheLargestAccepted) {
  // One string cipher adds its length, two quotes and nothing else.
  const size_t fit = 262142 - 172 - 2;
  cipher("big.json", "\"" + std::string(fit, 'x') + "\"");
  const char *s = vault_sync_generate_json(uid.c_str());
  ASSERT_NE(s, nullptr) << err();
  EXPECT_EQ(strlen(s), 262142u);
  EXPECT_EQ(std::string(s), reference_sync(dir));

  cipher("big.json", "\"" + std::string(fit + 1, 'x') + "\"");
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(err(), "sync: payload too large");
  EXPECT_EQ(s[0], '\0');
}

TEST_F(SyncDoc, LimitAppliesToTheWrittenTextNotTheFiles) {
  // A file far larger than the limit whose minified form fits is taken.
  cipher("spaced.json", "[" + std::string(400000, ' ') + "1]");
  const char *s = vault_sync_generate_json(uid.c_str());
  ASSERT_NE(s, nullptr) << err();
  EXPECT_EQ(cipher_texts(s), std::vector<std::string>{"[1]"});

  // Too large wherever the excess shows: in the ciphers, the folder list or
  // the profile.
  cipher("p.json", "\"" + std::string(150000, 'p') + "\"");
  cipher("q.json", "\"" + std::string(150000, 'q') + "\"");
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(err(), "sync: payload too large");
  unlink((dir + "/ciphers/q.json").c_str());
  ASSERT_NE(vault_sync_generate_json(uid.c_str()), nullptr);

  vt_write(dir + "/folders.json", "[\"" + std::string(150000, 'f') + "\"]");
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(err(), "sync: payload too large");

  vt_write(dir + "/folders.json", "[]");
  vt_write(dir + "/profile.json", "{\"p\":\"" + std::string(270000, 'p') + "\"}");
  EXPECT_EQ(vault_sync_generate_json(uid.c_str()), nullptr);
  EXPECT_EQ(err(), "sync: payload too large");
  EXPECT_EQ(vs_result_buf(VS_RES_SYNC)[0], '\0');
}

TEST_F(SyncDoc, RootTooLongForTheAccountPathIsRefused) {
  std::string long_root = base + "/" + std::string(4290, 'r');
  EXPECT_EQ(vault_storage_init(long_root.c_str()), -1);  // the root stays set
  EXPECT_EQ(vault_sync_generate_json("u1"), nullptr);
  EXPECT_EQ(err(), "sync: path too long");
}

// ---- statistics ------------------------------------------------------------

class StatsDoc : public VaultTest {
 protected:
  // The current statistics text, or the failure.
  std::string stats() {
    const char *t = vault_storage_get_stats_json();
    return t ? t : "NULL: " + err();
  }
  // The exact document for these numbers and a root needing no escapes.
  std::string expect(int64_t users, int64_t ciphers, int64_t folders, int64_t trash,
                     int64_t bytes) const {
    return "{\"users\":" + std::to_string(users) + ",\"ciphers\":" + std::to_string(ciphers) +
           ",\"folders\":" + std::to_string(folders) + ",\"trash\":" + std::to_string(trash) +
           ",\"vault_bytes\":" + std::to_string(bytes) + ",\"root\":\"" + root + "\"}";
  }
};


TEST_F(StatsDoc, NeedsADataRoot) {
  ASSERT_NE(vault_storage_get_stats_json(), nullptr);
  vault_storage_cleanup();
  EXPECT_EQ(vault_storage_get_stats_json(), nullptr);
  EXPECT_EQ(err(), "stats: not initialized");
  EXPECT_EQ(vs_result_buf(VS_RES_STATS)[0], '\0');
}

TEST_F(StatsDoc, MissingUsersDirectoryGivesZerosWithTheRoot) {
  ASSERT_EQ(rmdir((root + "/users/.email-index").c_str()), 0);  // made by init
  ASSERT_EQ(rmdir((root + "/users").c_str()), 0);
  std::string before = err();
  EXPECT_EQ(stats(), expect(0, 0, 0, 0, 0));
  EXPECT_EQ(err(), before);
}

TEST_F(StatsDoc, CountsOneAccountsFiles) {
  std::string d = make_account("u1");
  EXPECT_EQ(stats(), expect(1, 0, 1, 0, 2));

  vt_write(d + "/ciphers/a.json", std::string(100, 'a'));
  vt_write(d + "/ciphers/b.json", std::string(250, 'b'));
  vt_write(d + "/trash/c.json", std::string(999, 'c'));
  const char *first = vault_storage_get_stats_json();
  EXPECT_EQ(stats(), expect(1, 2, 1, 1, 352));
  EXPECT_EQ(first, expect(1, 2, 1, 1, 352));  // same buffer, same text again

  // Leftover temporary files: never a cipher, but counted in the trash when
  // they end in ".json". A FIFO, a directory and a link named like ciphers
  // count without bytes; nothing blocks, nothing outside is measured.
  vt_write(d + "/ciphers/a.json.tmp.12", "xxxxx");
  vt_write(d + "/ciphers/e.tmp.1.json", "xxxxx");
  vt_write(d + "/trash/e.tmp.1.json", "xxxxx");
  vt_write(d + "/trash/.h.json", "x");
  vt_write(d + "/trash/notes.txt", "x");
  ASSERT_EQ(mkfifo((d + "/ciphers/f.json").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((d + "/ciphers/g.json").c_str(), 0700), 0);
  vt_write(base + "/outside", std::string(500, 'o'));
  ASSERT_EQ(symlink((base + "/outside").c_str(), (d + "/ciphers/h.json").c_str()), 0);
  EXPECT_EQ(stats(), expect(1, 5, 1, 2, 352));

  // A plain file in users counts as a user and adds nothing else; so does an
  // account without a folder list.
  vt_write(root + "/users/stray", "x");
  vt_write(root + "/users/.hidden", "x");
  std::string d2 = make_account("u2");
  unlink((d2 + "/folders.json").c_str());
  EXPECT_EQ(stats(), expect(3, 5, 1, 2, 352));
}

TEST_F(StatsDoc, LinksAreNotFollowed) {
  // An account directory, and a ciphers directory, that are links to a tree
  // outside the root: counted as names at most, never measured.
  std::string out = base + "/outside";
  mkdir(out.c_str(), 0700);
  mkdir((out + "/ciphers").c_str(), 0700);
  vt_write(out + "/ciphers/a.json", std::string(100, 'a'));
  vt_write(out + "/folders.json", "[1]");
  ASSERT_EQ(symlink(out.c_str(), (root + "/users/linked").c_str()), 0);
  std::string d = make_account("u1");
  vt_rm_rf(d + "/ciphers");
  ASSERT_EQ(symlink((out + "/ciphers").c_str(), (d + "/ciphers").c_str()), 0);
  EXPECT_EQ(stats(), expect(2, 0, 1, 0, 2));
}

TEST_F(StatsDoc, ExaminesTheFirst64AccountsAndCountsThemAll) {
  for (int i = 0; i < 70; i++) {
    std::string d = make_account("acct" + std::to_string(i));
    vt_write(d + "/ciphers/c.json", std::string(10, 'c'));
  }
  EXPECT_EQ(stats(), expect(70, 64, 64, 0, 64 * 12));
}

TEST_F(StatsDoc, SizesBeyondTwoGibibytesDoNotWrap) {
  std::string d = make_account("u1");
  for (const char *name : {"/ciphers/a.json", "/ciphers/b.json"}) {
    int fd = open((d + name).c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)3 << 30), 0);  // sparse: takes no space
    close(fd);
  }
  EXPECT_EQ(stats(), expect(1, 2, 1, 0, ((int64_t)6 << 30) + 2));
}

TEST_F(StatsDoc, RootIsWrittenAsAValidJsonString) {
  std::string odd = base + "/q\"b\\s\tt\x01\xc3\xa9\xff";
  ASSERT_EQ(vault_storage_init(odd.c_str()), 0) << err();
  root = odd;
  make_account("u1");
  std::string text = stats();
  EXPECT_EQ(text, "{\"users\":1,\"ciphers\":0,\"folders\":1,\"trash\":0,\"vault_bytes\":2,\"root\":\"" +
                      base + "/q\\\"b\\\\s\\tt\\u0001\xc3\xa9\\ufffd\"}");
  // Strict JSON, and the root reads back (bytes that are not UTF-8 cannot
  // be carried: U+FFFD stands in).
  yyjson_doc *d = yyjson_read(text.data(), text.size(), 0);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(d), "root")),
               (base + "/q\"b\\s\tt\x01\xc3\xa9\xef\xbf\xbd").c_str());
  yyjson_doc_free(d);
}

TEST_F(StatsDoc, DocumentThatDoesNotFitIsRefusedNotCut) {
  // Fits before escaping, not after. (Made of names short enough to
  // exist, none of which does: the tree is empty, not unreadable.)
  std::string ctl = base;
  for (int i = 0; i < 4; i++) ctl += "/" + std::string(200, '\x01');
  vault_storage_init(ctl.c_str());  // fails (no parent) but sets the root
  EXPECT_EQ(vault_storage_get_stats_json(), nullptr);
  EXPECT_EQ(err(), "stats: too large");
  EXPECT_EQ(vs_result_buf(VS_RES_STATS)[0], '\0');

  // A root the system cannot open is no empty tree.
  root = base + "/" + std::string(4200, 'r');
  vault_storage_init(root.c_str());
  // (The message, naming the root, is cut to the last-error text's size.)
  EXPECT_EQ(stats().rfind("NULL: stats: cannot read " + root.substr(0, 900), 0), 0u);
  std::string longer = base + "/" + std::string(4300, 'r');
  vault_storage_init(longer.c_str());
  EXPECT_EQ(vault_storage_get_stats_json(), nullptr);
  EXPECT_EQ(err(), "stats: too large");
}

// The cipher files are read a batch at a time through the thread's ring,
// and whatever the ring does not read whole is read the plain way: both
// paths must give the same bytes for every kind of entry. Several batches,
// sizes around the ring's slot, texts that are not documents, entries that
// are not files, links; then the same from another thread (a ring of its
// own) and from a forked child (which must not use its parent's ring).
TEST_F(SyncDoc, RingAndPlainReadsGiveTheSameBytes) {
  const size_t slot_room = VS_RING_SLOT - YYJSON_PADDING_SIZE;
  for (int i = 0; i < 150; i++)
    cipher("c" + std::to_string(i) + ".json",
           "{\"id\":\"c" + std::to_string(i) + "\",\"n\":\"" + std::string((size_t)(i * 37) % 900, 'x') + "\"}");
  auto sized = [](const std::string &id, size_t size) {
    std::string head = "{\"id\":\"" + id + "\",\"n\":\"", tail = "\"}";
    return head + std::string(size - head.size() - tail.size(), 'y') + tail;
  };
  for (size_t size : {slot_room - 1, slot_room, slot_room + 1, (size_t)VS_RING_SLOT, (size_t)70000}) {
    std::string id = "s" + std::to_string(size);
    cipher(id + ".json", sized(id, size));
  }
  cipher("empty.json", "");
  cipher("bad.json", "{\"id\":");
  cipher("ws.json", "  {\"id\":\"ws\"}\n\n");
  ASSERT_EQ(mkfifo((dir + "/ciphers/fifo.json").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir + "/ciphers/d.json").c_str(), 0700), 0);
  ASSERT_EQ(symlink("c1.json", (dir + "/ciphers/ln.json").c_str()), 0);

  vs_ring_set_enabled(0);
  size_t len = 0;
  char *p = vault_sync_generate_json_alloc(uid.c_str(), &len);
  ASSERT_NE(p, nullptr) << err();
  const std::string plain(p, len);
  free(p);
  vs_ring_set_enabled(1);
  auto ring_sync = [&] {
    size_t n = 0;
    char *t = vault_sync_generate_json_alloc(uid.c_str(), &n);
    std::string s = t ? std::string(t, n) : "<NULL: " + err() + ">";
    free(t);
    return s;
  };
  EXPECT_EQ(ring_sync(), plain);
  EXPECT_EQ(cipher_texts(plain.c_str()).size(), 150u + 5 + 1);  // those past a slot too
  std::string other;
  std::thread([&] { other = ring_sync(); }).join();
  EXPECT_EQ(other, plain);
  // The parent's ring is set up; the child's sync must neither use it nor
  // disturb it.
  std::vector<int> rc = vt_run_processes(2, [&](int) { return ring_sync() == plain ? 0 : 1; });
  EXPECT_EQ(rc, (std::vector<int>{0, 0}));
  EXPECT_EQ(ring_sync(), plain);
}

// Most stored documents are minified already, and such a text is copied as
// it is instead of being written anew: the bytes must be what the writer
// gives for every document, taken that way or not. Random documents of
// every kind of token (escapes, raw UTF-8, integers at and past the
// 64-bit edges, -0, reals, literals, white space here and there), read
// through the ring and the plain way, into both outputs.
TEST_F(SyncDoc, DocumentsCopiedAsTheyAreMatchTheWriter) {
  const char *const strings[] = {"\"\"", "\"abc\"", "\"a b\"", "\"\xc3\xa9\"", "\"\xe2\x80\xa8\"",
                                 "\"q\\\"q\"", "\"b\\\\s\"", "\"\\/\"", "\"n\\n\"", "\"\\u00e9\"",
                                 "\"\\u0001\"", "\"2.x|y==\""};
  const char *const scalars[] = {"0", "-0", "7", "-7", "123456789012345678",
                                 "18446744073709551615", "18446744073709551616",
                                 "-9223372036854775808", "-9223372036854775809", "1.5", "1e3",
                                 "-0.0", "2E-2", "true", "false", "null"};
  unsigned seed = 25;
  auto rnd = [&](unsigned n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  auto ws = [&] { return rnd(12) == 0 ? std::string(rnd(3) ? " " : "\n\t ") : std::string(); };
  std::function<std::string(int)> value = [&](int depth) -> std::string {
    unsigned kind = depth > 2 ? rnd(2) : rnd(4);
    if (kind == 0) return strings[rnd(sizeof strings / sizeof *strings)];
    if (kind == 1) return scalars[rnd(sizeof scalars / sizeof *scalars)];
    std::string t = kind == 2 ? "[" : "{";
    for (unsigned i = 0, n = rnd(5); i < n; i++) {
      t += (i ? "," : "") + ws();
      if (kind == 3) t += strings[rnd(sizeof strings / sizeof *strings)] + ws() + ":" + ws();
      t += value(depth + 1) + ws();
    }
    return t + (kind == 2 ? "]" : "}");
  };
  for (int i = 0; i < 400; i++) cipher("r" + std::to_string(i) + ".json", ws() + value(0) + ws());
  cipher("z-minus-zero.json", "[-0]");
  cipher("z-plain.json", "{\"id\":\"z\",\"n\":[1,-2,true,null,\"x y\"],\"o\":{}}");

  const std::string want = reference_sync(dir);
  for (int ring : {1, 0}) {
    vs_ring_set_enabled(ring);
    const char *fixed = vault_sync_generate_json(uid.c_str());
    ASSERT_NE(fixed, nullptr) << err();
    EXPECT_EQ(std::string(fixed), want) << "ring " << ring;
    size_t len = 0;
    char *grown = vault_sync_generate_json_alloc(uid.c_str(), &len);
    ASSERT_NE(grown, nullptr) << err();
    EXPECT_EQ(std::string(grown, len), want) << "ring " << ring;
    free(grown);
  }
  vs_ring_set_enabled(1);
  std::vector<std::string> texts = cipher_texts(want.c_str());
  EXPECT_EQ(texts.size(), 402u);
  EXPECT_NE(std::find(texts.begin(), texts.end(), "[0]"), texts.end());
}

// The heap text grows a batch at a time by what the ring read; texts that
// are dropped or shrink when minified leave that room unused, and the
// caller must not be handed it: the text comes back trimmed to its length.
TEST_F(SyncDoc, HeapTextHoldsNoRoomOfDroppedItems) {
  for (int i = 0; i < 60; i++)  // cut short: not documents
    cipher("bad" + std::to_string(i) + ".json", "{\"n\":\"" + std::string(12000, 'b'));
  for (int i = 0; i < 3; i++)  // white space the minified text loses
    cipher("ws" + std::to_string(i) + ".json", "[" + std::string(12000, ' ') + "1]");
  cipher("good.json", "{\"id\":\"good\"}");
  size_t len = 0;
  char *t = vault_sync_generate_json_alloc(uid.c_str(), &len);
  ASSERT_NE(t, nullptr) << err();
  EXPECT_EQ(std::string(t, len), reference_sync(dir));
  EXPECT_LT(malloc_usable_size(t), len + 4096);
  free(t);
}
