"""Import, registration and reindex of the same addresses at the same time,
as real processes of the tool: one account per address whatever the
order, and every loser's answer says that it lost. Run by ctest with
KELDRUNE_VAULT_TOOL set to the built tool."""
import json
import os
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tool_test import ToolCase, run, TOOL  # noqa: E402
from tool_fault_test import account_lines, dump, uid  # noqa: E402


def start(root, *args):
    return subprocess.Popen([TOOL, "--root", root] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


class Hammer:
    """Runs the tool with each of argument lists in turn, over and over,
    in a thread until stop(); answers: [(args, rc, stdout, stderr)]."""

    def __init__(self, root, *commands):
        self.root, self.commands, self.answers = root, commands, []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.loop)
        self.thread.start()

    def loop(self):
        while not self.done.is_set():
            for args in self.commands:
                rc, out, err = run(*args, root=self.root)
                self.answers.append((args, rc, out, err))

    def rounds(self, least=3, answers=40, most=60):
        """Rounds of the command under test: at least least, and until the
        hammer has had answers answers (or most rounds)."""
        n = 0
        while n < least or (len(self.answers) < answers and n < most):
            yield n
            n += 1

    def stop(self):
        self.done.set()
        self.thread.join()
        return self.answers


class Races(ToolCase):
    def holders(self):
        """Address (folded) -> visible account ids, from the profiles."""
        users = os.path.join(self.root, "users")
        out = {}
        for name in os.listdir(users):
            if not name.startswith("."):
                with open(os.path.join(users, name, "profile.json"), "rb") as f:
                    out.setdefault(json.loads(f.read())["email"].lower(), []).append(name)
        return out

    def assert_clean(self):
        for email, ids in self.holders().items():
            self.assertEqual(len(ids), 1, (email, ids))
        rc, out, err = run("check", root=self.root)
        self.assertEqual(rc, 0, out + err)

    def test_one_dump_imported_by_several_processes_at_once(self):
        """The same accounts (same ids, same addresses) from four imports:
        each account is created once; the other imports refuse it, saying
        it exists."""
        n = 10
        path = os.path.join(self.dir, "same.jsonl")
        with open(path, "w") as f:
            f.write(dump([account_lines(uid(i), "same%d@x" % i, [("c1", False)])
                          for i in range(n)]))
        procs = [start(self.root, "--json", "import", path) for _ in range(4)]
        created = []
        for p in procs:
            out, err = p.communicate(timeout=120)
            self.assertIn(p.returncode, (0, 1), err)
            r = json.loads(out)
            self.assertTrue(r["complete"])
            created += r["created"]
            for ref in r["refused"]:
                self.assertRegex(ref["reason"], "the account exists|changed meanwhile")
            self.assertEqual(len(r["created"]) + len(r["refused"]), n)
        self.assertEqual(sorted(created), [uid(i) for i in range(n)])
        self.assertEqual(sorted(self.holders()), ["same%d@x" % i for i in range(n)])
        self.assert_clean()

    def test_registration_never_finds_an_address_free_while_import_replaces_it(self):
        """--replace exchanges the old account for the new in one step: a
        registration of its address during the import is refused every
        time, and lookups always find the account."""
        accounts = [account_lines(uid(i), "held%d@x" % i, [("c1", False)]) for i in range(8)]
        path = os.path.join(self.dir, "held.jsonl")
        with open(path, "w") as f:
            f.write(dump(accounts))
        self.ok("import", path)
        h = Hammer(self.root, *[a for i in range(8) for a in
                                (["user", "create", "HELD%d@x" % i], ["user", "find", "held%d@x" % i])])
        for _ in h.rounds():
            rc, out, err = run("import", "--replace", path, root=self.root)
            self.assertEqual(rc, 0, err)
            self.assertIn("import: 0 created, 8 replaced", out)
        answers = h.stop()
        self.assertGreaterEqual(len(answers), 40)
        for args, rc, out, err in answers:
            self.assertEqual(rc, 1 if args[1] == "create" else 0, (args, out, err))
            if args[1] == "create":
                self.assertIn("create: email already registered", err)
        self.assert_clean()

    def registrations_while_reindex_runs(self, mode):
        pre = {"pre%d@x" % i: self.account("pre%d@x" % i) for i in range(20)}
        if mode == "authoritative":
            self.ok("reindex", "--authoritative")
        h = Hammer(self.root, *[a for i in range(0, 20, 4) for a in
                                (["user", "create", "pre%d@x" % i], ["user", "find", "PRE%d@X" % i],
                                 ["user", "create", "new%d@x" % i])])
        for _ in h.rounds():
            rc, out, err = run("reindex", *(["--authoritative"] if mode else []), root=self.root)
            self.assertEqual(rc, 0, err)
        answers = h.stop()
        self.assertGreaterEqual(len(answers), 40)
        made = {}
        for args, rc, out, err in answers:
            verb, email = args[1], args[2].lower()
            if email in pre:
                # A registered address stays registered to its account.
                self.assertEqual(rc, 1 if verb == "create" else 0, (args, out, err))
                if verb == "create":
                    self.assertIn("create: email already registered", err)
                else:
                    self.assertIn(pre[email], out)
            else:
                # A new address: registered once, refused after.
                self.assertIn(rc, (0, 1), (args, err))
                if rc == 0:
                    self.assertNotIn(email, made, (args, out))
                    made[email] = out.strip()
                else:
                    self.assertIn("create: email already registered", err)
        self.assertEqual(sorted(made), sorted("new%d@x" % i for i in range(0, 20, 4)))
        for email, user_id in list(pre.items()) + list(made.items()):
            rc, out, _ = run("user", "find", email, root=self.root)
            self.assertEqual(rc, 0, email)
            self.assertIn(user_id, out)
        self.assert_clean()

    def test_registrations_while_reindex_runs(self):
        self.registrations_while_reindex_runs(None)

    def test_registrations_while_reindex_runs_authoritative(self):
        self.registrations_while_reindex_runs("authoritative")


if __name__ == "__main__":
    unittest.main()
