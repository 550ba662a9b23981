"""The operator's import and reindex killed, or out of space, at every step.

The unmodified tool runs with tool_shim.so preloaded (tests/reliability):
it counts the calls that change the tree or make a change durable (mkdir,
create, write, fsync of a file or a directory, rename, link, unlink) and
kills the process (SIGKILL) before the N-th, or fails it with ENOSPC or
EIO. For every N up to the count of a whole run:

- in between, every address belongs to exactly one visible account, which
  lookups find, or to none, and every visible account is whole: the old
  one or the dump's;
- a re-run of the same command (no faults) finishes the work and reports
  what it did; afterwards lookups find every account, an export equals
  the dump, and `check` finds only the hidden leftovers of the dead
  process, or what `reindex` then repairs.

A failing run must exit non-zero with a message naming its command, and
its report must list every account it put in place.

ctest runs a sample of the steps (every seventh, at an offset per case,
and the last two; KV_FAULT_STRIDE=n: every n-th); KV_FAULT_FULL=1 (make
crash) runs every one. Run with KELDRUNE_VAULT_TOOL
and KELDRUNE_VAULT_SHIM set."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tool_test import TOOL, run  # noqa: E402

SHIM = os.environ.get("KELDRUNE_VAULT_SHIM", "")  # needed by the fault tests only
FULL = os.environ.get("KV_FAULT_FULL") == "1"
STRIDE = 1 if FULL else int(os.environ.get("KV_FAULT_STRIDE", "7"))

HEAD = '{"format":"keldrune-vault-dump","version":1}'
# Whatever a dead process may leave that only it could have removed: its
# staged account directory and a temporary file of an atomic write.
LEFTOVERS = {"import-leftover", "temp-file"}
# The calls a full disk fails.
ENOSPC_CALLS = "mkdir,create,write,fsync-file,fsync-dir,rename,link"


def uid(n):
    return "%08x-0000-4000-8000-%012x" % (n, n)


A, B, C = uid(1), uid(2), uid(3)


def account_lines(user_id, email, items, folders="[]", tag="new"):
    """The dump lines of one account; items: [(id, trash)]."""
    profile = json.dumps({"email": email, "masterPasswordHash": "h-%s-%s" % (user_id, tag)})
    lines = [json.dumps({"account": user_id, "profile": profile, "folders": folders})]
    for item, trash in items:
        doc = json.dumps({"id": item, "tag": tag})
        lines.append(json.dumps({"item": item, "trash": trash, "document": doc}))
    return lines


def dump(accounts):
    """accounts: lists of lines from account_lines."""
    lines = [HEAD]
    n_items = 0
    for a in accounts:
        lines += a
        n_items += len(a) - 1
    lines.append(json.dumps({"end": True, "accounts": len(accounts), "items": n_items}))
    return "\n".join(lines) + "\n"


def parse_dump(text):
    """user id -> (account line, set of item lines), as objects."""
    out, cur = {}, None
    for line in text.splitlines():
        o = json.loads(line)
        if "account" in o:
            cur = o["account"]
            out[cur] = (o, [])
        elif "item" in o:
            out[cur][1].append(o)
    return {k: (a, sorted(json.dumps(i, sort_keys=True) for i in items))
            for k, (a, items) in out.items()}


def shim_env(log, at, do, calls):
    """The environment of a tool run under the shim, logging to log."""
    if os.path.exists(log):
        os.unlink(log)
    env = dict(os.environ, LD_PRELOAD=SHIM, KV_SHIM_AT=str(at), KV_SHIM_DO=do,
               KV_SHIM_LOG=log)
    # An instrumented tool wants its sanitizer's runtime first; the shim is
    # not instrumented and may come before it.
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
    if calls:
        env["KV_SHIM_CALLS"] = calls
    return env


def shim_run(args, root, at=0, do="kill", calls=None, log_dir=None):
    """The tool under the shim: (rc, stdout, stderr, fired class or None,
    calls counted when it exited normally)."""
    log = os.path.join(log_dir, "shim.log")
    env = shim_env(log, at, do, calls)
    p = subprocess.run([TOOL, "--root", root] + args, capture_output=True, timeout=120, env=env)
    fired, count = None, None
    if os.path.exists(log):
        with open(log) as f:
            for line in f:
                what, _, arg = line.strip().partition(" ")
                if what == "fired":
                    fired = arg
                elif what == "count":
                    count = int(arg)
    return (p.returncode, p.stdout.decode("utf-8", "replace"),
            p.stderr.decode("utf-8", "replace"), fired, count)


class FaultCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-fault-")
        self.template = os.path.join(self.dir, "template")
        self.root = os.path.join(self.dir, "root")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def ok(self, *args, root=None):
        rc, out, err = run(*args, root=root or self.template)
        self.assertEqual(rc, 0, "%s: %s" % (args, err))
        return out.strip()

    def fresh(self):
        if os.path.exists(self.root):
            shutil.rmtree(self.root)
        shutil.copytree(self.template, self.root, symlinks=True)

    def steps(self, count, offset, every=False):
        """The steps to fault: all of them, or every STRIDE-th from offset
        and always the last two (the commit of the last account)."""
        stride = 1 if every else STRIDE
        chosen = set(range(1 + offset % stride, count + 1, stride))
        chosen |= {n for n in (count - 1, count) if n >= 1}
        return sorted(chosen)

    def count(self, args, calls=None):
        self.fresh()
        rc, out, err, _, n = shim_run(args, self.root, calls=calls, log_dir=self.dir)
        self.assertIn(rc, (0, 1), err)
        self.assertTrue(n, "the shim counted nothing: is it loaded?")
        return n

    def visible(self, root=None):
        """Visible accounts on disk: user id -> address (folded)."""
        users = os.path.join(root or self.root, "users")
        out = {}
        for name in os.listdir(users):
            if name.startswith("."):
                continue
            with open(os.path.join(users, name, "profile.json"), "rb") as f:
                out[name] = json.loads(f.read()).get("email", "").lower()
        return out

    def assert_one_owner(self, where, addresses):
        """Every address belongs to at most one visible account, and a
        lookup finds exactly that one, or none."""
        owners = {}
        for user_id, email in self.visible().items():
            owners.setdefault(email, []).append(user_id)
        for email in addresses:
            held = owners.get(email, [])
            self.assertLessEqual(len(held), 1, "%s: %s held by %s" % (where, email, held))
            rc, out, err = run("user", "find", email.upper(), root=self.root)
            if held:
                self.assertEqual(rc, 0, "%s: %s not found (%s)" % (where, email, err))
                self.assertIn(held[0], out, where)
            else:
                self.assertEqual(rc, 1, "%s: %s found though no account holds it: %s"
                                 % (where, email, out))

    def assert_registration_agrees(self, where, addresses):
        """On a copy of the tree: a registration of each address succeeds
        exactly when no visible account holds it, and afterwards each
        address has one account."""
        copy = os.path.join(self.dir, "copy")
        if os.path.exists(copy):
            shutil.rmtree(copy)
        shutil.copytree(self.root, copy, symlinks=True)
        held = set(self.visible(copy).values())
        for email in addresses:
            rc, out, err = run("user", "create", email, root=copy)
            if email in held:
                self.assertEqual(rc, 1, "%s: %s registered again: %s" % (where, email, out))
                self.assertIn("already registered", err, where)
            else:
                self.assertEqual(rc, 0, "%s: %s is free but refused: %s" % (where, email, err))
        owners = {}
        for user_id, email in self.visible(copy).items():
            owners.setdefault(email, []).append(user_id)
        for email in addresses:
            self.assertEqual(len(owners.get(email, [])), 1, "%s: %s" % (where, owners))

    def export(self, *ids):
        rc, out, err = run("export", *ids, root=self.root)
        self.assertEqual(rc, 0, err)
        return parse_dump(out)

    def assert_check_clean(self, where, repaired_by_reindex=()):
        """check finds only a dead process's leftovers; findings of the
        kinds repaired_by_reindex are allowed once, and gone after reindex."""
        rc, out, err = run("--json", "check", root=self.root)
        self.assertIn(rc, (0, 1), err)
        kinds = {f["kind"] for f in json.loads(out)["findings"]}
        self.assertLessEqual(kinds, LEFTOVERS | set(repaired_by_reindex), "%s: %s" % (where, out))
        if kinds - LEFTOVERS:
            rc, _, err = run("reindex", root=self.root)
            self.assertEqual(rc, 0, "%s: %s" % (where, err))
            rc, out, err = run("--json", "check", root=self.root)
            kinds = {f["kind"] for f in json.loads(out)["findings"]}
            self.assertLessEqual(kinds, LEFTOVERS, "%s: after reindex: %s" % (where, out))


class ImportFaults(FaultCase):
    """A dump of three accounts into a root that holds two: A (a@x, a live
    and a trashed item), B (b@x, no folder list), and C, whose address
    belongs to an account of the root and is refused. With replace=True
    the root holds an older A, which the import replaces."""

    ADDRESSES = ("a@x", "b@x", "taken@x", "keep@x")

    def build(self, authoritative=False, replace=False):
        self.ok("init")
        self.ok("user", "create", "keep@x")
        self.taken = self.ok("user", "create", "taken@x")
        self.old = None
        if replace:
            self.old = dump([account_lines(A, "a@x", [("c1", False), ("c9", False)], tag="old")])
            path = os.path.join(self.dir, "old.jsonl")
            with open(path, "w") as f:
                f.write(self.old)
            self.ok("import", path)
        if authoritative:
            self.ok("reindex", "--authoritative")
        self.text = dump([account_lines(A, "a@x", [("c1", False), ("c2", True)]),
                          account_lines(B, "b@x", [("c3", False)], folders=None),
                          account_lines(C, "Taken@X", [("c4", False)])])
        self.path = os.path.join(self.dir, "dump.jsonl")
        with open(self.path, "w") as f:
            f.write(self.text)
        self.want = parse_dump(self.text)
        self.args = ["--json", "import"] + (["--replace"] if replace else []) + [self.path]

    def assert_whole(self, where):
        """Every account of the dump that is visible is the dump's or the
        old one, whole; C never appears."""
        got = self.export()
        self.assertNotIn(C, got, where)
        old = parse_dump(self.old) if self.old else {}
        for user_id in (A, B):
            if user_id in got:
                self.assertIn(got[user_id], [self.want[user_id], old.get(user_id)], where)

    def rerun(self, where, replace):
        rc, out, err = run(*self.args, root=self.root)
        self.assertEqual(rc, 1, "%s: re-run: %s" % (where, err))  # C is refused
        r = json.loads(out)
        self.assertTrue(r["complete"], where)
        refused = {x["userId"]: x["reason"] for x in r["refused"]}
        self.assertIn("registered to " + self.taken, refused.pop(C), where)
        for user_id, reason in refused.items():
            self.assertFalse(replace, where)
            self.assertIn("the account exists", reason, where)
        done = set(r["created"]) | set(r["replaced"]) | set(refused)
        self.assertEqual(done, {A, B}, "%s: %s" % (where, out))
        got = self.export()
        self.assertEqual(got[A], self.want[A], where)
        self.assertEqual(got[B], self.want[B], where)
        self.assertNotIn(C, got, where)
        self.assert_one_owner(where + " (re-run)", self.ADDRESSES)
        self.assert_check_clean(where, repaired_by_reindex={"bad-index-entry"})

    def killed_everywhere(self, offset, **kw):
        self.build(**kw)
        n = self.count(self.args)
        self.assertGreater(n, 30)
        for k in self.steps(n, offset):
            self.fresh()
            rc, out, err, fired, _ = shim_run(self.args, self.root, at=k, log_dir=self.dir)
            where = "killed before step %d of %d (%s) %s" % (k, n, fired, kw)
            self.assertEqual(rc, -9, "%s: %s" % (where, err))
            self.assert_one_owner(where, self.ADDRESSES)
            self.assert_registration_agrees(where, self.ADDRESSES)
            self.assert_whole(where)
            self.rerun(where, kw.get("replace", False))

    def test_killed_at_every_step(self):
        self.killed_everywhere(0)

    def test_killed_at_every_step_authoritative_index(self):
        self.killed_everywhere(1, authoritative=True)

    def test_killed_at_every_step_replacing(self):
        self.killed_everywhere(2, replace=True)

    def failing_everywhere(self, offset, err, calls=None, every=False, **kw):
        """The N-th call fails with err: the import fails and says so,
        reports every account it put in place, and a re-run finishes."""
        self.build(**kw)
        n = self.count(self.args, calls=calls)
        before = self.visible(self.template)
        for k in self.steps(n, offset, every):
            self.fresh()
            rc, out, stderr, fired, _ = shim_run(self.args, self.root, at=k, do=err,
                                                 calls=calls, log_dir=self.dir)
            where = "%s at step %d of %d (%s) %s" % (err, k, n, fired, kw)
            self.assertEqual(rc, 3, "%s: %s %s" % (where, out, stderr))
            self.assertTrue(any(line.startswith("keldrune-vault: import: ") for line in stderr.splitlines()),
                            "%s: %s" % (where, stderr))
            r = json.loads(out)
            self.assertFalse(r["complete"], where)
            now = self.visible()
            new = set(now) - set(before)
            self.assertEqual(set(r["created"]), new, "%s: %s" % (where, out))
            placed = r["created"] + r["replaced"]
            self.assertEqual(r["items"], sum(len(self.want[u][1]) for u in placed),
                             "%s: %s" % (where, out))
            self.assert_one_owner(where, self.ADDRESSES)
            self.assert_whole(where)
            self.rerun(where, kw.get("replace", False))

    def test_out_of_space_at_every_step(self):
        self.failing_everywhere(0, "ENOSPC", calls=ENOSPC_CALLS)

    def test_out_of_space_at_every_step_authoritative_replacing(self):
        self.failing_everywhere(1, "ENOSPC", calls=ENOSPC_CALLS, authoritative=True,
                                replace=True)

    def test_failing_sync_of_each_directory(self):
        """Every directory an import syncs (the staged account and its
        ciphers/ and trash/, the index, users/ after the rename and after
        the removal of a replaced tree): its failure fails the import."""
        self.failing_everywhere(0, "EIO", calls="fsync-dir", every=True, replace=True)


class ReindexFaults(FaultCase):
    """An index with work to do: r1@x and r3@x indexed, r2@x's entry
    garbage, r4@x's account removed by hand (its entry stays) and an
    account copied in by hand (hand@x, no entry)."""

    def build(self, authoritative_before):
        self.ok("init")
        self.ids = {e: self.ok("user", "create", e) for e in ("r1@x", "r2@x", "r3@x", "r4@x")}
        if authoritative_before:
            self.ok("reindex", "--authoritative")
        users = os.path.join(self.template, "users")
        index = os.path.join(users, ".email-index")
        for name in os.listdir(index):
            path = os.path.join(index, name)
            with open(path, "rb") as f:
                text = f.read()
            if b"r2@x" in text:
                with open(path, "wb") as f:
                    f.write(b"garbage")
        shutil.rmtree(os.path.join(users, self.ids.pop("r4@x")))
        self.hand = uid(77)
        shutil.copytree(os.path.join(users, self.ids["r1@x"]), os.path.join(users, self.hand))
        with open(os.path.join(users, self.hand, "profile.json"), "w") as f:
            json.dump({"email": "hand@x", "masterPasswordHash": "h"}, f)

    def assert_lookups(self, where, hand_visible=True):
        for email, user_id in self.ids.items():
            rc, out, err = run("user", "find", email, root=self.root)
            self.assertEqual(rc, 0, "%s: %s: %s" % (where, email, err))
            self.assertIn(user_id, out, where)
        rc, out, _ = run("user", "find", "r4@x", root=self.root)
        self.assertEqual(rc, 1, "%s: a removed account is found: %s" % (where, out))
        rc, out, _ = run("user", "find", "hand@x", root=self.root)
        if hand_visible:
            self.assertEqual(rc, 0, "%s: an account copied in is not found" % where)
            self.assertIn(self.hand, out, where)

    def marked(self):
        return os.path.exists(os.path.join(self.root, "users", ".email-index", "authoritative"))

    def killed_everywhere(self, offset, args, authoritative_before, authoritative_after):
        self.build(authoritative_before)
        n = self.count(args)
        self.assertGreater(n, 5)
        for k in self.steps(n, offset):
            self.fresh()
            rc, out, err, fired, _ = shim_run(args, self.root, at=k, log_dir=self.dir)
            where = "%s killed before step %d of %d (%s)" % (args, k, n, fired)
            self.assertEqual(rc, -9, "%s: %s" % (where, err))
            # An index marked complete before the run hides the copied-in
            # account until reindex has written its entry; nothing else.
            self.assert_lookups(where, hand_visible=not (authoritative_before and self.marked()))
            rc, out, err = run(*args, root=self.root)
            self.assertEqual(rc, 0, "%s: re-run: %s" % (where, err))
            self.assertIn("reindex: 4 accounts indexed", out, where)
            if authoritative_before and args == ["reindex"] and not self.marked():
                # Killed after the mark was withdrawn: the re-run cannot
                # know it was there. It says so, and the operator marks
                # the index again.
                self.assertIn("index not authoritative", out, where)
                self.assertEqual(run("reindex", "--authoritative", root=self.root)[0], 0)
            self.assertEqual(self.marked(), authoritative_after, where)
            self.assert_lookups(where + " (re-run)")
            self.assert_check_clean(where)

    def test_killed_at_every_step(self):
        self.killed_everywhere(0, ["reindex"], False, False)

    def test_killed_at_every_step_declaring_authoritative(self):
        self.killed_everywhere(1, ["reindex", "--authoritative"], False, True)

    def test_killed_at_every_step_of_an_authoritative_index(self):
        self.killed_everywhere(2, ["reindex"], True, True)

    def failing_everywhere(self, offset, args, authoritative_before):
        """The N-th call fails with ENOSPC: reindex exits 3 naming itself,
        declares nothing complete that it did not finish, loses no account
        to lookups, and a re-run finishes."""
        self.build(authoritative_before)
        n = self.count(args, calls=ENOSPC_CALLS)
        for k in self.steps(n, offset):
            self.fresh()
            rc, out, err, fired, _ = shim_run(args, self.root, at=k, do="ENOSPC",
                                              calls=ENOSPC_CALLS, log_dir=self.dir)
            where = "%s: ENOSPC at step %d of %d (%s)" % (args, k, n, fired)
            self.assertEqual(rc, 3, "%s: %s %s" % (where, out, err))
            self.assertTrue(err.startswith("keldrune-vault: reindex: "), "%s: %s" % (where, err))
            # The report says whether the index is marked complete; a
            # mark it made covers every account.
            self.assertEqual(self.marked(), "index authoritative:" in out, "%s: %s" % (where, out))
            self.assert_lookups(where, hand_visible=not (authoritative_before and self.marked()))
            rc, out, err = run(*args, root=self.root)
            self.assertEqual(rc, 0, "%s: re-run: %s" % (where, err))
            self.assert_lookups(where + " (re-run)")
            self.assert_check_clean(where)

    def test_out_of_space_at_every_step(self):
        self.failing_everywhere(0, ["reindex", "--authoritative"], False)

    def test_out_of_space_at_every_step_of_an_authoritative_index(self):
        self.failing_everywhere(1, ["reindex"], True)


class HeldClaim(FaultCase):
    """An import stopped while it holds the claim on an address, right
    before its account is renamed into place, and a registration (or
    another import) of the address started then: it waits for the claim. If the
    import goes on, its account has the address and the registration is
    refused; if it dies there, the registration gets the address and a
    re-run of the import refuses the account. One account either way."""

    def race(self, go_on, authoritative, rival="registration"):
        self.ok("init")
        self.ok("user", "create", "other@x")
        if authoritative:
            self.ok("reindex", "--authoritative")
        path = os.path.join(self.dir, "one.jsonl")
        with open(path, "w") as f:
            f.write(dump([account_lines(A, "a@x", [("c1", False)])]))
        self.fresh()
        log = os.path.join(self.dir, "shim.log")
        imp = subprocess.Popen([TOOL, "--root", self.root, "--json", "import", path],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=shim_env(log, 1, "stop", "rename"))
        self.addCleanup(lambda: imp.poll() is None and imp.kill())
        # The first rename is the account's, claim held. The shim creates
        # the log before it writes to it: wait for its words, not the file.
        for _ in range(600):
            if imp.poll() is not None:
                break
            if os.path.exists(log):
                with open(log) as f:
                    if len(f.read().split()) >= 2:
                        break
            time.sleep(0.05)
        with open(log) as f:
            self.assertEqual(f.read().split(), ["fired", "rename"])
        if rival == "registration":
            args = ["user", "create", "A@X"]
        else:  # another import, of another account with the address
            path2 = os.path.join(self.dir, "two.jsonl")
            with open(path2, "w") as f:
                f.write(dump([account_lines(uid(9), "A@x", [("c9", False)])]))
            args = ["--json", "import", path2]
        reg = subprocess.Popen([TOOL, "--root", self.root] + args,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: reg.poll() is None and reg.kill())
        time.sleep(0.5)
        self.assertIsNone(reg.poll(), "the registration did not wait for the held claim")
        imp.send_signal(signal.SIGCONT if go_on else signal.SIGKILL)
        out, err = imp.communicate(timeout=60)
        reg_out, reg_err = reg.communicate(timeout=60)
        if go_on:
            self.assertEqual(imp.returncode, 0, err)
            self.assertEqual(json.loads(out)["created"], [A])
            if reg.returncode == 3:
                # A machine so slow that the import held the claim past
                # the longest wait: the rival gave up and said why.
                self.assertIn(b"holds its index entry too long", reg_err)
            elif rival == "registration":
                self.assertEqual(reg.returncode, 1, reg_out)
                self.assertIn(b"create: email already registered", reg_err)
            else:
                self.assertEqual(reg.returncode, 1, reg_out)
                refused = json.loads(reg_out)["refused"]
                self.assertEqual([r["userId"] for r in refused], [uid(9)])
                self.assertIn("registered to " + A, refused[0]["reason"])
            owner = A
        else:
            self.assertEqual(imp.returncode, -9)
            self.assertEqual(reg.returncode, 0, reg_err)
            owner = (reg_out.decode().strip() if rival == "registration"
                     else json.loads(reg_out)["created"][0])
            rc, out, err = run("--json", "import", path, root=self.root)
            self.assertEqual(rc, 1, err)
            refused = json.loads(out)["refused"]
            self.assertEqual([r["userId"] for r in refused], [A])
            self.assertIn("registered to " + owner, refused[0]["reason"])
        self.assertEqual([u for u, e in self.visible().items() if e == "a@x"], [owner])
        rc, out, _ = run("user", "find", "a@x", root=self.root)
        self.assertEqual(rc, 0)
        self.assertIn(owner, out)
        self.assert_check_clean("held claim", repaired_by_reindex={"bad-index-entry"})

    def test_import_goes_on(self):
        self.race(True, False)

    def test_import_dies(self):
        self.race(False, False)

    def test_import_goes_on_authoritative_index(self):
        self.race(True, True)

    def test_import_dies_authoritative_index(self):
        self.race(False, True)

    def test_another_import_of_the_address_import_goes_on(self):
        self.race(True, False, rival="import")

    def test_another_import_of_the_address_import_dies(self):
        self.race(False, True, rival="import")


if __name__ == "__main__":
    unittest.main()
