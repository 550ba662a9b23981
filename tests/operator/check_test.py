"""Drives the built keldrune-vault tool's operator commands (`check`,
`user list`) over data trees made by the tool itself and then broken by
hand, one fault at a time.

Run by ctest with KELDRUNE_VAULT_TOOL set to the built tool."""

import hashlib
import json
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

TOOL = os.environ["KELDRUNE_VAULT_TOOL"]


def run(root, *args):
    p = subprocess.run([TOOL, "--root", root, *args], capture_output=True, text=True,
                       errors="surrogateescape", timeout=60)
    return p.returncode, p.stdout, p.stderr


def snapshot(top):
    """Every entry under top with its kind, mode, mtime and content hash."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            digest = None
            if stat.S_ISREG(st.st_mode):
                with open(p, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            # A directory's mtime moves when an entry is removed: left out,
            # its entries are compared instead.
            mtime = None if stat.S_ISDIR(st.st_mode) else st.st_mtime_ns
            out[os.path.relpath(p, top)] = (stat.S_IFMT(st.st_mode), st.st_mode & 0o7777,
                                            mtime, digest)
    return out


def age(path, seconds):
    t = time.time() - seconds
    os.utime(path, (t, t))


def write(path, data, mode=0o600):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    with os.fdopen(fd, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.chmod(path, mode)


class OperatorTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-operator-")
        self.root = os.path.join(self.dir, "root")
        self.users = os.path.join(self.root, "users")
        self.assertEqual(run(self.root, "init")[0], 0)
        self.alice = self.create("alice@example.org")
        self.bob = self.create("bob@example.org")
        self.save(self.alice, '{"id":"a1","type":1}')
        self.save(self.alice, '{"id":"a2","type":2}')
        self.assertEqual(run(self.root, "cipher", "delete", self.alice, "a2")[0], 0)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def create(self, email):
        rc, out, err = run(self.root, "user", "create", email, "--hash", "h", "--iterations", "5")
        self.assertEqual(rc, 0, err)
        return out.strip()

    def save(self, uid, doc):
        path = os.path.join(self.dir, "doc.json")
        write(path, doc)
        rc, out, err = run(self.root, "cipher", "save", uid, path)
        self.assertEqual(rc, 0, err)
        return out.strip()

    def acct(self, uid, *parts):
        return os.path.join(self.users, uid, *parts)

    def check(self, *extra, expect_rc=None):
        rc, out, err = run(self.root, "check", "--json", *extra)
        report = json.loads(out)
        if expect_rc is not None:
            self.assertEqual(rc, expect_rc, out + err)
        return rc, report

    def findings(self, *extra):
        """(kind, path relative to the root) of every finding; exit code 1."""
        rc, report = self.check(*extra, expect_rc=1)
        self.assertFalse(report["clean"])
        return {(f["kind"], os.path.relpath(f["path"], self.root)) for f in report["findings"]}

    # ---- a sound tree -----------------------------------------------------------
    def test_tree_made_by_the_library_is_clean_and_check_changes_nothing(self):
        # The lock file a move leaves where the file system lacks a
        # no-replace rename (GlusterFS, NFS) is part of a sound account.
        write(self.acct(self.alice, ".lock"), "")
        before = snapshot(self.root)
        rc, report = self.check(expect_rc=0)
        self.assertEqual(report["findings"], [])
        self.assertEqual(report["accounts"], 2)
        # config, 2 profiles, 2 folder lists, a live and a trashed item
        self.assertEqual(report["documents"], 7)
        rc, out, _ = run(self.root, "check")
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith("check: clean (2 accounts, 7 documents)"), out)
        self.assertEqual(snapshot(self.root), before)

    def test_deletion_cut_short_is_reported_and_finished_by_reindex(self):
        # A deletion killed after its rename: the account is gone for every
        # reader, its address still claimed by the remainder's profile.
        hidden = ".deleted.%s.0b6c8d5e-1f2a-4b3c-8d9e-0a1b2c3d4e5f" % self.bob
        os.rename(self.acct(self.bob), os.path.join(self.users, hidden))
        # Its address's entry names an account no reader finds any more.
        kinds = {kind for kind, _ in self.findings()}
        self.assertEqual(kinds, {"deletion-remainder", "bad-index-entry"})
        self.assertIn(("deletion-remainder", "users/" + hidden), self.findings())
        self.assertEqual(run(self.root, "user", "exists", "bob@example.org")[1].strip(), "no")
        rc, out, err = run(self.root, "reindex")
        self.assertEqual(rc, 0, err)
        self.assertIn("1 deletion cut short finished", out)
        self.assertFalse(os.path.exists(os.path.join(self.users, hidden)))
        self.check(expect_rc=0)
        # The address is free again, and alice's untouched.
        self.assertEqual(run(self.root, "user", "create", "bob@example.org")[0], 0)
        self.assertEqual(run(self.root, "user", "find", "alice@example.org")[0], 0)

    def test_user_list(self):
        write(os.path.join(self.users, "plain-file"), "x")  # not an account
        os.mkdir(os.path.join(self.users, "noprofile"), 0o700)
        rc, out, err = run(self.root, "user", "list", "--json")
        self.assertEqual(rc, 0, err)
        rows = {r["userId"]: r for r in json.loads(out)}
        self.assertEqual(set(rows), {self.alice, self.bob, "noprofile"})
        self.assertEqual(rows[self.alice],
                         {"userId": self.alice, "email": "alice@example.org", "items": 1, "trash": 1})
        self.assertEqual((rows[self.bob]["items"], rows[self.bob]["trash"]), (0, 0))
        self.assertIsNone(rows["noprofile"]["email"])
        rc, out, _ = run(self.root, "user", "list")
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["USER", "ID", "ITEMS", "TRASH", "E-MAIL"])
        self.assertIn("%-36s  %6d  %6d  %s" % (self.alice, 1, 1, "alice@example.org"), lines)
        self.assertEqual(run(os.path.join(self.dir, "nowhere"), "user", "list")[0], 3)

    def test_root_may_be_a_symbolic_link_but_nothing_below_it(self):
        link = os.path.join(self.dir, "root-link")
        os.symlink(self.root, link)
        rc, out, err = run(link, "check", "--json")
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(json.loads(out)["accounts"], 2)
        rc, out, err = run(link, "user", "list", "--json")
        self.assertEqual({r["userId"] for r in json.loads(out)}, {self.alice, self.bob})
        # An account reached through a link is never walked into.
        outside = os.path.join(self.dir, "outside")
        shutil.copytree(self.acct(self.bob), outside)
        os.symlink(outside, os.path.join(self.users, "linked"))
        rc, out, err = run(link, "user", "list", "--json")
        self.assertNotIn("linked", {r["userId"] for r in json.loads(out)})
        rc, report = self.check(expect_rc=1)
        self.assertEqual([(f["kind"], os.path.basename(f["path"])) for f in report["findings"]],
                         [("wrong-kind", "linked")])

    # ---- one fault at a time ----------------------------------------------------
    def test_documents_that_are_not_strict_json_or_of_the_wrong_shape(self):
        write(self.acct(self.alice, "ciphers", "bad.json"), '{"id":"bad",}')
        write(self.acct(self.alice, "trash", "empty.json"), "")
        write(self.acct(self.bob, "folders.json"), "{}")
        write(self.acct(self.bob, "profile.json"), '["not","an","object"]')
        write(os.path.join(self.root, "config.json"), "// comment\n{}")
        found = self.findings()
        self.assertEqual(found, {
            ("not-json", "users/%s/ciphers/bad.json" % self.alice),
            ("not-json", "users/%s/trash/empty.json" % self.alice),
            ("wrong-root", "users/%s/folders.json" % self.bob),
            ("wrong-root", "users/%s/profile.json" % self.bob),
            ("not-json", "config.json"),
        })

    def test_account_without_profile_and_profile_without_email(self):
        os.unlink(self.acct(self.alice, "profile.json"))
        write(self.acct(self.bob, "profile.json"), '{"mail":"bob@example.org"}')
        os.mkdir(os.path.join(self.users, "half-made"), 0o700)
        self.assertEqual(self.findings(), {
            ("no-profile", "users/" + self.alice),
            ("no-email", "users/%s/profile.json" % self.bob),
            ("no-profile", "users/half-made"),
            ("missing", "users/half-made/ciphers"),
            ("missing", "users/half-made/trash"),
        })

    def test_two_accounts_with_the_same_email_in_other_letter_case(self):
        carol = os.path.join(self.users, "carol-copy")
        shutil.copytree(self.acct(self.bob), carol)
        os.chmod(carol, 0o700)
        with open(os.path.join(carol, "profile.json")) as f:
            profile = json.load(f)
        profile["email"] = "BOB@Example.org"
        write(os.path.join(carol, "profile.json"), json.dumps(profile))
        rc, report = self.check(expect_rc=1)
        dups = [f for f in report["findings"] if f["kind"] == "duplicate-email"]
        self.assertEqual(len(dups), 1, report)
        self.assertIn("bob@example.org", dups[0]["detail"])
        self.assertIn("carol-copy", dups[0]["detail"])
        self.assertIn(self.bob, dups[0]["detail"])

    def test_identifier_both_live_and_in_the_trash(self):
        self.save(self.alice, '{"id":"a2","type":3}')  # a2 is also in the trash
        self.assertEqual(self.findings(),
                         {("live-and-trash", "users/%s/trash/a2.json" % self.alice)})

    def test_restore_cut_short_is_its_own_finding(self):
        """One file under both names: a restore whose link was made and
        whose drop of the trashed name was not (a kill in between)."""
        live = self.acct(self.alice, "ciphers", "a2.json")
        os.link(self.acct(self.alice, "trash", "a2.json"), live)
        rc, report = self.check(expect_rc=1)
        self.assertEqual([(f["kind"], f["path"]) for f in report["findings"]],
                         [("cut-short-restore", self.acct(self.alice, "trash", "a2.json"))])
        self.assertIn("the library shows it as live", report["findings"][0]["detail"])
        self.assertEqual(run(self.root, "cipher", "restore", self.alice, "a2")[0], 0)
        self.check(expect_rc=0)
        self.assertEqual(os.stat(live).st_nlink, 1)

    def test_restore_cut_short_is_one_live_item_in_user_list_and_export(self):
        live = self.acct(self.alice, "ciphers", "a2.json")
        os.link(self.acct(self.alice, "trash", "a2.json"), live)
        rc, out, err = run(self.root, "user", "list", "--json")
        self.assertEqual(rc, 0, err)
        row = {r["userId"]: r for r in json.loads(out)}[self.alice]
        self.assertEqual((row["items"], row["trash"]), (2, 0))
        rc, out, err = run(self.root, "export", self.alice)
        self.assertEqual(rc, 0, err)
        items = [json.loads(l) for l in out.splitlines() if '"item"' in l]
        self.assertEqual(sorted((i["item"], i["trash"]) for i in items),
                         [("a1", False), ("a2", False)], items)

    def test_tree_from_before_the_email_index_is_left_as_it_is(self):
        shutil.rmtree(os.path.join(self.users, ".email-index"))
        users_mtime = os.stat(self.users).st_mtime_ns
        before = snapshot(self.root)
        self.assertEqual(self.findings(), {("missing", "users/.email-index")})
        rc, out, _ = run(self.root, "check")
        self.assertEqual(rc, 1)
        self.assertEqual(snapshot(self.root), before)
        self.assertEqual(os.stat(self.users).st_mtime_ns, users_mtime)

    def test_names_the_library_cannot_use(self):
        c = self.acct(self.alice, "ciphers")
        write(os.path.join(c, "notes.txt"), "{}")
        write(os.path.join(c, "UPPER.JSON"), "{}")
        write(os.path.join(c, ".hidden.json"), "{}")
        write(os.path.join(c, "a.tmp.1.json"), "{}")  # ".tmp." inside, not a temporary name
        write(os.path.join(c, "has space.json"), "{}")  # listed by sync, unaddressable
        write(os.path.join(self.acct(self.alice, "trash"), "x.y.json"), "{}")
        write(self.acct(self.bob, "backup.tar"), "x")
        os.mkdir(os.path.join(self.users, "not a uuid"), 0o700)
        os.mkdir(os.path.join(self.users, "x" * 40), 0o700)
        for d in ("not a uuid", "x" * 40):
            for sub in ("ciphers", "trash"):
                os.mkdir(os.path.join(self.users, d, sub), 0o700)
            write(os.path.join(self.users, d, "profile.json"),
                  json.dumps({"email": d.replace(" ", "") + "@example.org"}))
        base = "users/%s/" % self.alice
        self.assertEqual(self.findings(), {
            ("bad-name", base + "ciphers/notes.txt"),
            ("bad-name", base + "ciphers/UPPER.JSON"),
            ("bad-name", base + "ciphers/.hidden.json"),
            ("bad-name", base + "ciphers/a.tmp.1.json"),
            ("bad-name", base + "ciphers/has space.json"),
            ("bad-name", base + "trash/x.y.json"),
            ("bad-name", "users/%s/backup.tar" % self.bob),
            ("bad-name", "users/not a uuid"),
            ("bad-name", "users/" + "x" * 40),
        })

    def test_wrong_kinds_of_entries(self):
        os.mkfifo(self.acct(self.alice, "ciphers", "fifo.json"), 0o600)
        os.mkdir(self.acct(self.alice, "ciphers", "dir.json"), 0o700)
        os.symlink("/etc/passwd", self.acct(self.alice, "ciphers", "link.json"))
        write(os.path.join(self.users, "stray-file"), "x")
        shutil.rmtree(self.acct(self.bob, "trash"))
        write(self.acct(self.bob, "trash"), "x")
        rc, report = self.check(expect_rc=1)
        got = {(f["kind"], os.path.basename(f["path"])) for f in report["findings"]}
        self.assertEqual(got, {
            ("wrong-kind", "fifo.json"), ("wrong-kind", "dir.json"), ("wrong-kind", "link.json"),
            ("wrong-kind", "stray-file"), ("wrong-kind", "trash"), ("missing", "trash"),
        })

    def test_wrong_permission_bits(self):
        os.chmod(self.acct(self.alice, "profile.json"), 0o644)
        os.chmod(self.acct(self.bob, "ciphers"), 0o755)
        os.chmod(self.users, 0o711)
        rc, report = self.check(expect_rc=1)
        got = {(os.path.relpath(f["path"], self.root), f["detail"])
               for f in report["findings"] if f["kind"] == "permissions"}
        self.assertEqual(got, {
            ("users/%s/profile.json" % self.alice, "0644, expected 0600"),
            ("users/%s/ciphers" % self.bob, "0755, expected 0700"),
            ("users", "0711, expected 0700"),
        })
        self.assertEqual(len(report["findings"]), 3)

    def test_documents_too_large_for_the_read_exports(self):
        write(self.acct(self.alice, "ciphers", "big.json"), '"' + "x" * 65533 + '"')  # 65535
        write(self.acct(self.alice, "ciphers", "fits.json"), '"' + "x" * 65532 + '"')  # 65534
        self.assertEqual(self.findings(),
                         {("too-large", "users/%s/ciphers/big.json" % self.alice)})

    # ---- temporary files ------------------------------------------------------------
    def plant_temps(self):
        """Three temporary names of the atomic write and one look-alike."""
        old = self.acct(self.alice, "ciphers", "a1.json.tmp.1700000000")
        older = self.acct(self.bob, "profile.json.tmp.1700000000.4242.3")
        fresh = os.path.join(self.root, "config.json.tmp.1700000001")
        for p, secs in ((old, 3 * 3600), (older, 48 * 3600), (fresh, 30)):
            write(p, '{"partial":')
            age(p, secs)
        keep = self.acct(self.alice, "ciphers", "a1.json.tmp.notdigits")
        write(keep, "x")
        age(keep, 48 * 3600)
        return old, older, fresh, keep

    def test_leftover_temporary_files_are_reported_with_their_age(self):
        old, older, fresh, keep = self.plant_temps()
        before = snapshot(self.root)
        rc, report = self.check(expect_rc=1)
        temps = {f["path"]: f["age_seconds"] for f in report["findings"] if f["kind"] == "temp-file"}
        self.assertEqual(set(temps), {old, older, fresh})
        self.assertTrue(3 * 3600 <= temps[old] < 3 * 3600 + 60)
        self.assertTrue(48 * 3600 <= temps[older] < 48 * 3600 + 60)
        self.assertTrue(30 <= temps[fresh] < 90)
        self.assertIn(("bad-name", keep), {(f["kind"], f["path"]) for f in report["findings"]})
        self.assertEqual(report["removed"], [])
        rc, out, _ = run(self.root, "check")
        self.assertIn("temp-file  %s  leftover of an interrupted write, age" % old, out)
        self.assertEqual(snapshot(self.root), before)

    def test_remove_stale_temp_removes_only_old_temporary_files(self):
        old, older, fresh, keep = self.plant_temps()
        before = snapshot(self.root)
        rc, report = self.check("--remove-stale-temp", "120", expect_rc=1)
        self.assertEqual({r["path"] for r in report["removed"]}, {old, older})
        self.assertFalse(os.path.exists(old) or os.path.exists(older))
        self.assertTrue(os.path.exists(fresh) and os.path.exists(keep))
        after = snapshot(self.root)
        gone = {os.path.relpath(p, self.root) for p in (old, older)}
        self.assertEqual(set(before) - set(after), gone)
        for k in after:  # nothing else touched
            self.assertEqual(after[k], before[k], k)
        # What is left: the young temporary file and the look-alike.
        self.assertEqual({f["kind"] for f in report["findings"]}, {"temp-file", "bad-name"})
        os.unlink(fresh)
        os.unlink(keep)
        self.check("--remove-stale-temp", "1", expect_rc=0)

    def test_parked_move_sources_are_compared_and_never_removed(self):
        """A mover killed inside the fallback move leaves a name of the item
        parked under <name>.tmp.<pid>.<n>: the moved file itself (the move
        finished), or a save that landed on the name meanwhile, which may be
        its only copy."""
        c, t = self.acct(self.alice, "ciphers"), self.acct(self.alice, "trash")
        finished = os.path.join(c, "a2.json.tmp.4242.1")
        os.link(os.path.join(t, "a2.json"), finished)
        newer = os.path.join(c, "a1.json.tmp.4242.2")
        write(newer, '{"id":"a1","type":9}')
        copy = os.path.join(t, "a2.json.tmp.4243.1")
        with open(os.path.join(t, "a2.json")) as f:
            write(copy, f.read())
        retry = os.path.join(c, "a1.json.tmp.1700000000.4242.3")
        write(retry, '{"partial":')
        for p in (finished, newer, copy, retry):
            age(p, 48 * 3600)
        before = snapshot(self.root)
        rc, report = self.check("--remove-stale-temp", "1", expect_rc=1)
        self.assertEqual([r["path"] for r in report["removed"]], [retry])
        parked = {f["path"]: f for f in report["findings"] if f["kind"] == "parked-move"}
        self.assertEqual(set(parked), {finished, newer, copy})
        self.assertEqual(len(report["findings"]), 3, report)
        for f in parked.values():
            self.assertIn("may be the only copy of a newer save", f["detail"])
            self.assertIn("compare it with the live and trash copies before removing", f["detail"])
            self.assertTrue(48 * 3600 <= f["age_seconds"] < 48 * 3600 + 60)
        self.assertIn("ciphers/a2.json: absent; trash/a2.json: the same file, the move finished",
                      parked[finished]["detail"])
        self.assertIn("ciphers/a1.json: different content; trash/a1.json: absent",
                      parked[newer]["detail"])
        self.assertIn("trash/a2.json: the same content", parked[copy]["detail"])
        after = snapshot(self.root)
        del before[os.path.relpath(retry, self.root)]
        self.assertEqual(after, before)
        rc, out, _ = run(self.root, "check")
        self.assertIn("parked-move  %s  item name parked by an interrupted trash or restore "
                      "move" % newer, out)

    # ---- the e-mail index --------------------------------------------------------
    def index_entry(self, email):
        key = hashlib.sha256(email.lower().encode()).hexdigest()
        return os.path.join(self.users, ".email-index", key)

    def copy_in_by_hand(self, name, email):
        path = os.path.join(self.users, name)
        shutil.copytree(self.acct(self.bob), path)
        with open(os.path.join(path, "profile.json")) as f:
            profile = json.load(f)
        profile["email"] = email
        write(os.path.join(path, "profile.json"), json.dumps(profile))
        return path

    def test_index_entries_are_checked_and_reindex_repairs_them(self):
        with open(self.index_entry("alice@example.org")) as f:
            self.assertEqual(json.load(f), {"id": self.alice, "email": "alice@example.org"})
        write(self.index_entry("bob@example.org"),
              json.dumps({"id": self.alice, "email": "bob@example.org"}))
        write(self.index_entry("gone@example.org"),
              json.dumps({"id": "no-such-account", "email": "gone@example.org"}))
        write(os.path.join(self.users, ".email-index", "notes.txt"), "x")
        self.assertEqual(self.findings(), {
            ("bad-index-entry", os.path.relpath(self.index_entry("bob@example.org"), self.root)),
            ("bad-index-entry", os.path.relpath(self.index_entry("gone@example.org"), self.root)),
            ("bad-name", "users/.email-index/notes.txt"),
        })
        # Lookups pass over the wrong entry and still find the account.
        rc, out, _ = run(self.root, "user", "find", "BOB@example.org")
        self.assertEqual(rc, 0)
        self.assertIn(self.bob, out)
        rc, out, err = run(self.root, "reindex")
        self.assertEqual(rc, 0, err)
        self.assertIn("2 accounts indexed (1 entry written, 1 kept, 1 removed)", out)
        self.assertEqual(self.findings(), {("bad-name", "users/.email-index/notes.txt")})

    def test_authoritative_index_and_accounts_copied_in_by_hand(self):
        self.copy_in_by_hand("carol-copy", "carol@example.org")
        rc, out, err = run(self.root, "user", "exists", "carol@example.org")
        self.assertEqual((rc, out.strip()), (0, "yes"))  # the default: a miss scans
        rc, out, err = run(self.root, "reindex", "--authoritative")
        self.assertEqual(rc, 0, err)
        self.assertIn("index authoritative", out)
        self.check(expect_rc=0)
        self.copy_in_by_hand("dave-copy", "dave@example.org")
        self.assertEqual(self.findings(), {("not-indexed", "users/dave-copy")})
        rc, out, _ = run(self.root, "user", "exists", "dave@example.org")
        self.assertEqual(out.strip(), "no")  # the operator's promise was broken
        self.assertEqual(run(self.root, "reindex")[0], 0)  # keeps the mode
        rc, out, _ = run(self.root, "user", "exists", "dave@example.org")
        self.assertEqual(out.strip(), "yes")
        self.check(expect_rc=0)
        rc, out, _ = run(self.root, "reindex", "--not-authoritative")
        self.assertIn("not authoritative", out)
        self.assertFalse(os.path.exists(os.path.join(self.users, ".email-index", "authoritative")))
        self.assertEqual(run(self.root, "reindex", "--authoritative", "--not-authoritative")[0], 2)
        self.assertEqual(run(os.path.join(self.dir, "nowhere"), "reindex")[0], 3)

    def test_email_change_cut_short_is_its_own_finding_and_reindex_finishes_it(self):
        entry = lambda uid, email: json.dumps({"id": uid, "email": email})
        profile = self.acct(self.bob, "profile.json")
        with open(profile) as f:
            doc = json.load(f)
        for cut in ("after the claim", "after the profile"):
            with self.subTest(cut):
                # A change of bob to bobby@: the new address claimed, then
                # (the second cut) the profile rewritten; the old entry not
                # yet released.
                write(self.index_entry("bobby@example.org"), entry(self.bob, "bobby@example.org"))
                if cut == "after the profile":
                    doc["email"] = "bobby@example.org"
                    write(profile, json.dumps(doc))
                stale, holds = (("bobby@example.org", "bob@example.org") if cut == "after the claim"
                                else ("bob@example.org", "bobby@example.org"))
                rc, report = self.check(expect_rc=1)
                self.assertEqual([(f["kind"], f["path"]) for f in report["findings"]],
                                 [("email-change-cut-short", self.index_entry(stale))])
                self.assertIn('whose profile holds "%s" instead of "%s"' % (holds, stale),
                              report["findings"][0]["detail"])
                # Lookups already answer as the profile says.
                self.assertEqual(run(self.root, "user", "exists", stale)[1].strip(), "no")
                self.assertIn(self.bob, run(self.root, "user", "find", holds)[1])
                rc, out, err = run(self.root, "--json", "reindex")
                self.assertEqual(rc, 0, err)
                self.assertEqual(json.loads(out)["removed"], 1)
                self.check(expect_rc=0)
                self.assertFalse(os.path.exists(self.index_entry(stale)))
                # The stale address is free again; the held one is not.
                self.assertEqual(run(self.root, "user", "exists", stale)[1].strip(), "no")
                self.assertNotEqual(self.create(stale), self.bob)
                rc, _, err = run(self.root, "user", "create", holds, "--hash", "h",
                                 "--iterations", "5")
                self.assertEqual(rc, 1, err)
                # Back to the start for the next cut.
                victim = run(self.root, "user", "find", stale)[1]
                uid = json.loads(victim)["userId"]
                shutil.rmtree(self.acct(uid))
                os.unlink(self.index_entry(stale))
                doc["email"] = "bob@example.org"
                write(profile, json.dumps(doc))
                self.assertEqual(run(self.root, "reindex")[0], 0)
                self.check(expect_rc=0)

    def test_remove_stale_temp_reports_nothing_of_what_it_removed(self):
        # Written with a mode the library never gives: removed, the file
        # has no permissions to report.
        old = self.acct(self.alice, "ciphers", "a1.json.tmp.1700000000")
        write(old, '{"partial":', mode=0o644)
        age(old, 3 * 3600)
        rc, report = self.check("--remove-stale-temp", "60", expect_rc=0)
        self.assertEqual(report["findings"], [])
        self.assertEqual([r["path"] for r in report["removed"]], [old])
        # Not removed (too young): its mode is reported with it.
        write(old, '{"partial":', mode=0o644)
        self.assertEqual({k for k, _ in self.findings("--remove-stale-temp", "600")},
                         {"permissions", "temp-file"})

    def test_json_pretty_is_indented_and_the_same_report(self):
        rc, flat, _ = run(self.root, "check", "--json")
        rc, pretty, _ = run(self.root, "check", "--json", "--pretty")
        self.assertEqual(rc, 0)
        self.assertEqual(json.loads(pretty), json.loads(flat))
        self.assertEqual(len(flat.splitlines()), 1)
        self.assertGreater(len(pretty.splitlines()), 5)
        self.assertTrue(pretty.splitlines()[1].startswith("    \"root\""), pretty)

    def test_usage_and_failures(self):
        self.assertEqual(run(self.root, "check", "--remove-stale-temp", "0")[0], 2)
        self.assertEqual(run(self.root, "check", "--remove-stale-temp", "soon")[0], 2)
        rc, out, err = run(os.path.join(self.dir, "nowhere"), "check")
        self.assertEqual(rc, 3)
        self.assertIn("no data root at", err)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "nowhere")))


if __name__ == "__main__":
    unittest.main()
