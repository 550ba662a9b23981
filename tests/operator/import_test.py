"""Import, export and reindex keep the library's promises: one account per
address against registrations and other imports running at the same time
(real processes), hostile dumps refused whole, and the address compared by
its full length. Run by ctest with KV_TOOL set to the built tool."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tool_test import ToolCase, run, TOOL  # noqa: E402,F401

HEAD = '{"format":"keldrune-vault-dump","version":1}'


def uid(n):
    return "%08x-0000-4000-8000-%012x" % (n, n)


def dump(accounts, items=None, end=None):
    """accounts: [(user id, e-mail)]; every account gets one item."""
    lines = [HEAD]
    for i, email in accounts:
        profile = json.dumps({"email": email, "masterPasswordHash": "h-" + i})
        lines.append(json.dumps({"account": i, "profile": profile, "folders": "[]"}))
        lines.append(json.dumps({"item": "c1", "trash": False, "document": '{"id":"c1"}'}))
    n = len(accounts)
    lines.append(json.dumps(end or {"end": True, "accounts": n, "items": n if items is None else items}))
    return ("\n".join(lines) + "\n").encode()


class ImportClaims(ToolCase):
    def holders(self):
        """e-mail (lower case) -> account ids, from the profiles on disk."""
        users = os.path.join(self.root, "users")
        out = {}
        for name in os.listdir(users):
            if name.startswith("."):
                continue
            with open(os.path.join(users, name, "profile.json"), "rb") as f:
                email = json.loads(f.read())["email"].lower()
            out.setdefault(email, []).append(name)
        return out

    def test_address_with_nul_cannot_take_over_a_login(self):
        alice = self.account("alice@example.org")
        data = dump([(uid(1), "alice@example.org\u0000x")])
        rc, out, err = run("import", "-", stdin=data, root=self.root)
        self.assertEqual(rc, 0, err)  # stored, but it is no address
        rc, out, _ = run("user", "find", "alice@example.org", root=self.root)
        self.assertEqual(rc, 0)
        self.assertIn(alice, out)
        self.assertNotIn(uid(1), out)
        rc, out, _ = run("--json", "check", root=self.root)
        kinds = {(f["kind"], f["path"].split("/")[-2]) for f in json.loads(out)["findings"]}
        self.assertIn(("no-email", uid(1)), kinds)
        rc, _, err = run("reindex", root=self.root)
        self.assertEqual(rc, 0, err)
        rc, out, _ = run("user", "find", "alice@example.org", root=self.root)
        self.assertIn(alice, out)

    def test_hostile_dumps_are_refused(self):
        good = dump([(uid(1), "one@x")]).decode()
        lines = good.splitlines()
        cases = {
            "nul in an account id": (good.replace(uid(1), uid(1) + "\\u0000/../x"), 3,
                                      "not a usable user id"),
            "nul in an item id": (good.replace('"item": "c1"', '"item": "c1\\u0000x"'), 3,
                                   "usable \"item\" id"),
            "blank first line": ("\n" + good, 3, "not a keldrune-vault dump"),
            "no header": ("\n".join(lines[1:]) + "\n", 3, "not a keldrune-vault dump"),
            "wrong end counts": (good.replace('"items": 1', '"items": 7'), 3,
                                 "end line's counts do not match"),
        }
        for what, (data, code, text) in cases.items():
            with self.subTest(what):
                rc, out, err = run("import", "-", stdin=data.encode(), root=self.root)
                self.assertEqual(rc, code, err)
                self.assertIn(text, err)
                self.assertEqual(self.holders(), {})
                self.assertEqual([n for n in os.listdir(os.path.join(self.root, "users"))
                                  if n != ".email-index"], [])

    def test_one_account_twice_is_refused_and_its_second_copy_not_written(self):
        data = dump([(uid(1), "one@x"), (uid(2), "two@x"), (uid(1), "three@x")], items=3)
        rc, out, err = run("import", "--replace", "-", stdin=data, root=self.root)
        self.assertEqual(rc, 2, err)
        self.assertIn("appears twice", err)
        self.assertNotIn("three@x", self.holders())
        rc, out, err = run("user", "exists", "three@x", root=self.root)
        self.assertEqual(rc, 1)

    def test_registrations_and_imports_of_one_address_at_once(self):
        """Several imports and registrations of the same addresses race as
        real processes: every address ends with exactly one account, and
        each loser's answer says it lost."""
        n = 12
        emails = ["race%d@x" % i for i in range(n)]
        procs = []
        for k in range(3):  # three imports, each with its own ids
            path = os.path.join(self.dir, "dump%d.jsonl" % k)
            with open(path, "wb") as f:
                f.write(dump([(uid(100 * (k + 1) + i), e) for i, e in enumerate(emails)]))
            p = subprocess.Popen([TOOL, "--root", self.root, "--json", "import", path],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            procs.append(("import", p))
        for e in emails:
            p = subprocess.Popen([TOOL, "--root", self.root, "user", "create", e.upper()],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            procs.append(("create", p))
        created = 0
        for kind, p in procs:
            out, err = p.communicate(timeout=120)
            if kind == "import":
                self.assertIn(p.returncode, (0, 1), err)
                r = json.loads(out)
                created += len(r["created"])
                for ref in r["refused"]:
                    self.assertIn("registered to", ref["reason"])
            else:
                self.assertIn(p.returncode, (0, 1), err)
                if p.returncode == 0:
                    created += 1
                else:
                    self.assertIn(b"create: email already registered", err)
        holders = self.holders()
        self.assertEqual(sorted(holders), sorted(emails))
        for e, ids in holders.items():
            self.assertEqual(len(ids), 1, (e, ids))
        self.assertEqual(created, n)
        for e in emails:
            rc, out, _ = run("user", "find", e, root=self.root)
            self.assertEqual(rc, 0)
            self.assertIn(holders[e][0], out)
        rc, out, err = run("check", root=self.root)
        self.assertEqual(rc, 0, out + err)

    def test_registration_while_reindex_runs(self):
        for i in range(40):
            self.account("pre%d@x" % i)
        procs = [subprocess.Popen([TOOL, "--root", self.root, "reindex", "--authoritative"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)]
        for i in range(10):
            for e in ("new%d@x" % i, "pre%d@x" % i):
                procs.append(subprocess.Popen([TOOL, "--root", self.root, "user", "create", e],
                                              stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        for p in procs:
            out, err = p.communicate(timeout=120)
            self.assertIn(p.returncode, (0, 1), err)
        for e, ids in self.holders().items():
            self.assertEqual(len(ids), 1, (e, ids))
        for i in range(10):
            self.assertEqual(run("user", "exists", "new%d@x" % i, root=self.root)[0], 0)
        rc, _, err = run("reindex", root=self.root)
        self.assertEqual(rc, 0, err)
        rc, out, err = run("check", root=self.root)
        self.assertEqual(rc, 0, out + err)

    def test_killed_import_and_reindex_are_finished_by_a_rerun(self):
        """An import, and a reindex, killed at some moment: a re-run of the
        import makes every account whole, each address has exactly its
        account, and check finds nothing but the killed processes' hidden
        leftovers."""
        n = 40
        accounts = [(uid(500 + i), "kill%d@x" % i) for i in range(n)]
        path = os.path.join(self.dir, "kill.jsonl")
        with open(path, "wb") as f:
            f.write(dump(accounts))
        import signal
        import time
        for run_no, delay in enumerate((0.002, 0.01, 0.03, 0.06, 0.12, 0.25)):
            with self.subTest(delay=delay):
                root = os.path.join(self.dir, "k%d" % run_no)
                self.ok("init", root=root)
                if run_no % 2:
                    self.ok("reindex", "--authoritative", root=root)
                p = subprocess.Popen([TOOL, "--root", root, "import", path],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(delay)
                p.send_signal(signal.SIGKILL)
                p.wait()
                r = subprocess.Popen([TOOL, "--root", root, "reindex"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(delay / 2)
                r.send_signal(signal.SIGKILL)
                r.wait()
                rc, out, err = run("import", path, root=root)
                self.assertIn(rc, (0, 1), err)
                for line in out.splitlines():
                    if line.startswith("refused"):
                        self.assertIn("the account exists", line)
                for i, e in accounts:
                    rc, found, _ = run("user", "find", e.upper(), root=root)
                    self.assertEqual(rc, 0, e)
                    self.assertIn(i, found)
                    self.assertTrue(os.path.exists(
                        os.path.join(root, "users", i, "ciphers", "c1.json")))
                rc, _, err = run("reindex", root=root)
                self.assertEqual(rc, 0, err)
                rc, out, _ = run("--json", "check", root=root)
                kinds = {f["kind"] for f in json.loads(out)["findings"]}
                # A killed writer's temporary file (the reindex's mark) is
                # a temp-file finding: the file it was replacing is whole.
                self.assertLessEqual(kinds, {"import-leftover", "temp-file"}, out)

    def test_export_passes_over_what_sync_passes_over(self):
        a = self.account("f@x")
        self.ok("cipher", "save", a, stdin=b'{"id":"kept"}')
        ciphers = os.path.join(self.root, "users", a, "ciphers")
        os.mkfifo(os.path.join(ciphers, "fifo.json"))
        os.symlink("kept.json", os.path.join(ciphers, "link.json"))
        rc, out, err = run("export", root=self.root)
        self.assertEqual(rc, 0, err)
        self.assertIn("passed over", err)
        self.assertEqual(json.loads(out.splitlines()[-1]), {"end": True, "accounts": 1, "items": 1})
        # Each entry is named, and a damaged document is exported as stored.
        with open(os.path.join(ciphers, "torn.json"), "wb") as f:
            f.write(b'{"id":"torn","n":')
        rc, out, err = run("export", root=self.root)
        self.assertEqual(rc, 0, err)
        noted = [l for l in err.splitlines() if "passed over" in l]
        self.assertEqual(len(noted), 2, err)
        self.assertTrue(any("fifo.json" in l for l in noted), err)
        self.assertTrue(any("link.json" in l for l in noted), err)
        # Damaged, but a document as stored: in the dump, and said so.
        self.assertIn("export: exported %s as stored (no JSON document: sync passes over it)"
                      % os.path.join(ciphers, "torn.json"), err)
        items = [json.loads(l) for l in out.splitlines() if '"item"' in l]
        self.assertEqual(sorted(i["item"] for i in items), ["kept", "torn"])
        # A link in place of ciphers/: the items cannot be exported, so
        # the export fails, and a file it was writing is not left behind.
        os.rename(ciphers, ciphers + "-moved")
        os.symlink(ciphers + "-moved", ciphers)
        target = os.path.join(self.dir, "cut.jsonl")
        rc, out, err = run("export", "-o", target, root=self.root)
        self.assertEqual(rc, 3, err)
        self.assertIn("export: cannot list " + ciphers, err)
        self.assertFalse(os.path.exists(target))
        rc, out, err = run("export", root=self.root)
        self.assertEqual(rc, 3, err)
        self.assertNotIn('"end"', out)
        # A dump that cannot be written whole is a failure, never success.
        os.unlink(ciphers)
        os.rename(ciphers + "-moved", ciphers)
        with open("/dev/full", "wb") as full:
            p = subprocess.run([TOOL, "--root", self.root, "export"], stdout=full,
                               stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(p.returncode, 3, p.stderr)
        self.assertIn(b"export: cannot write the dump (No space left on device)", p.stderr)

    def test_duplicates_are_named_by_their_lines(self):
        twice = dump([(uid(1), "one@x"), (uid(2), "two@x"), (uid(1), "three@x")], items=3)
        rc, out, err = run("import", "-", stdin=twice, root=self.root)
        self.assertEqual(rc, 2, err)
        self.assertIn("import: line 6: account %s appears twice in the dump (lines 2 and 6)"
                      % uid(1), err)
        lines = dump([(uid(3), "four@x")]).decode().splitlines()
        item_twice = "\n".join(lines[:3] + lines[2:3] + lines[3:]) + "\n"
        rc, out, err = run("import", "-", stdin=item_twice.encode(), root=self.root)
        self.assertEqual(rc, 3, err)
        self.assertIn("item c1 appears twice in the dump (lines 3 and 4)", err)
        self.assertNotIn(".tmp.", err)  # no internal path
        # One id live and in the trash is two items, not a duplicate.
        trashed = json.dumps({"item": "c1", "trash": True, "document": '{"id":"c1"}'})
        both = "\n".join(lines[:3] + [trashed, lines[3].replace('"items": 1', '"items": 2')])
        rc, out, err = run("import", "-", stdin=(both + "\n").encode(), root=self.root)
        self.assertEqual(rc, 0, err)

    def test_quiet_import_and_json_reindex(self):
        data = dump([(uid(1), "one@x"), (uid(2), "two@x")])
        rc, out, err = run("import", "--quiet", "-", stdin=data, root=self.root)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, "import: 2 created, 0 replaced, 0 refused, 2 items\n")
        # Refusals are still named one by one.
        rc, out, err = run("import", "-q", "-", stdin=data, root=self.root)
        self.assertEqual(rc, 1, err)
        self.assertEqual(out.count("refused   "), 2, out)
        rc, out, err = run("reindex", "--json", "--authoritative", root=self.root)
        self.assertEqual(rc, 0, err)
        self.assertEqual(json.loads(out), {"complete": True, "accounts": 2, "written": 0,
                                           "kept": 2, "removed": 0, "deletionsFinished": 0,
                                           "replacementsFinished": 0,
                                           "problems": 0, "authoritative": True})


if __name__ == "__main__":
    unittest.main()
