"""Drives the built keldrune-vault tool as its users do: the exit code of
every command, the data-root rules, options before and after the
subcommand, secrets off the command line, export and import, and the
checks for hosts bound to the fixed-size functions.

Run by ctest with KELDRUNE_VAULT_TOOL set to the built tool."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from check_test import snapshot, write  # noqa: E402  (the same directory)

TOOL = os.environ["KELDRUNE_VAULT_TOOL"]


def run(*args, stdin=None, root=None, env=None):
    full = [TOOL] + (["--root", root] if root else []) + list(args)
    p = subprocess.run(full, input=stdin, capture_output=True, timeout=300,
                       env=dict(os.environ, **(env or {})))
    return (p.returncode, p.stdout.decode("utf-8", "surrogateescape"),
            p.stderr.decode("utf-8", "surrogateescape"))


def tree(top):
    """Every file and directory under top: kind, mode and content hash."""
    return {path: (kind, mode, digest) for path, (kind, mode, _, digest) in snapshot(top).items()}


class ToolCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-tool-")
        self.root = os.path.join(self.dir, "root")
        rc, _, err = run("init", root=self.root)
        self.assertEqual(rc, 0, err)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def ok(self, *args, stdin=None, root=None):
        rc, out, err = run(*args, stdin=stdin, root=root or self.root)
        self.assertEqual(rc, 0, "%s: %s" % (args, err))
        return out.strip()

    def account(self, email="a@example.org"):
        return self.ok("user", "create", email)


class ExitCodes(ToolCase):
    def test_every_command_follows_one_rule(self):
        uid = self.account()
        self.ok("cipher", "save", uid, stdin=b'{"id":"both"}')
        self.ok("cipher", "delete", uid, "both")
        self.ok("cipher", "save", uid, stdin=b'{"id":"both"}')  # live and trashed
        self.ok("folder", "save", uid, '{"id":"f1","name":"Work"}')
        missing = "00000000-0000-4000-8000-000000000000"
        table = [
            # (arguments, standard input, exit code, text on stderr)
            (["user", "exists", "a@example.org"], None, 0, ""),
            (["user", "exists", "nobody@example.org"], None, 1, ""),
            (["user", "find", "nobody@example.org"], None, 1, "no account has this e-mail"),
            (["user", "create", "A@EXAMPLE.org"], None, 1, "create: email already registered"),
            (["user", "profile", missing], None, 1, "no account " + missing),
            (["cipher", "get", uid, "nothing"], None, 1, "cipher_get: not found"),
            (["cipher", "get", missing, "x"], None, 1, "no account"),
            (["cipher", "save", missing, "-"], b"{}", 1, "no account"),
            (["cipher", "delete", uid, "nothing"], None, 1, "cipher_delete: not found"),
            (["cipher", "delete", uid, "both"], None, 1, "cipher_delete: rename File exists"),
            (["cipher", "restore", uid, "nothing"], None, 1, "restore: not in trash"),
            (["cipher", "restore", uid, "both"], None, 1, "restore: rename File exists"),
            (["folder", "list", missing], None, 1, "no account"),
            (["folder", "save", missing, "-"], b'{"name":"x"}', 1, "no account"),
            (["folder", "delete", uid, "nothing"], None, 1, "folder_delete: not found"),
            (["sync", missing], None, 1, "no account"),
            (["cipher", "get", uid, "../etc"], None, 2, "cipher_get: bad id"),
            (["cipher", "save", uid, "-"], b"{,}", 2, "cipher_save: invalid json"),
            (["folder", "save", uid, "-"], b"[]", 2, "folder_save: invalid json"),
            (["user", "create", ""], None, 2, "create: empty email"),
            (["user", "create", "x@example.org", "--iterations", "4294967296"], None, 2, ""),
            (["cipher"], None, 2, ""),
            (["no-such-command"], None, 2, ""),
            (["cipher", "save", uid, os.path.join(self.dir, "absent.json")], None, 3,
             "cannot read"),
            (["user", "exists", "a@example.org"], None, 0, ""),  # nothing above changed it
        ]
        for args, stdin, code, text in table:
            with self.subTest(args=args):
                rc, out, err = run(*args, stdin=stdin, root=self.root)
                self.assertEqual(rc, code, err)
                self.assertIn(text, err)
        # Both copies of the item are as they were.
        self.assertEqual(self.ok("cipher", "get", uid, "both"), '{"id":"both"}')

    def test_help_states_the_rule(self):
        rc, out, _ = run("--help")
        self.assertEqual(rc, 0)
        self.assertIn("Exit codes: 0 done; 1 not found, already there, or check findings", out)


class RootRules(ToolCase):
    def test_only_init_and_demo_create_a_root(self):
        wrong = os.path.join(self.dir, "typo")
        commands = [["stats"], ["user", "exists", "a@example.org"], ["user", "list"],
                    ["sync", "x"], ["folder", "list", "x"], ["cipher", "save", "x", "-"],
                    ["check"]]
        for args in commands:
            with self.subTest(args=args):
                rc, out, err = run(*args, root=wrong, stdin=b"")
                self.assertEqual(rc, 3, err)
                self.assertEqual(err.strip(),
                                 "no data root at %s; run `keldrune-vault init`" % wrong)
                self.assertFalse(os.path.exists(wrong))
        # A directory that is not a data root, or lacks its configuration, is
        # refused as well and left as it was.
        os.mkdir(wrong)
        os.mkdir(os.path.join(wrong, "users"))
        before = tree(wrong)
        self.assertEqual(run("stats", root=wrong)[0], 3)
        self.assertEqual(tree(wrong), before)
        self.assertEqual(run("init", root=wrong)[0], 0)
        self.assertEqual(json.loads(self.ok("stats", root=wrong))["users"], 0)

    def test_a_tree_the_user_cannot_read_is_a_failure_not_zeros(self):
        uid = self.account()
        self.ok("cipher", "save", uid, stdin=b'{"id":"c1"}')
        users = os.path.join(self.root, "users")
        wrap = []
        if os.geteuid() == 0:
            # Root reads everything: run the tool as nobody, with the root
            # open to it but users/ (0700, root's) not.
            if not shutil.which("setpriv"):
                self.skipTest("setpriv is not installed")
            wrap = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            os.chmod(self.dir, 0o755)
            os.chmod(self.root, 0o755)
            if subprocess.run(wrap + [TOOL, "--version"], capture_output=True).returncode != 0:
                self.skipTest("the tool cannot run as nobody here")
        else:
            os.chmod(users, 0)
        try:
            for args in (["stats"], ["user", "exists", "a@example.org"], ["user", "list"],
                         ["sync", uid]):
                with self.subTest(args=args):
                    p = subprocess.run(wrap + [TOOL, "--root", self.root] + args, input=b"",
                                       capture_output=True, timeout=60)
                    self.assertEqual((p.returncode, p.stdout), (3, b""), p.stderr)
                    self.assertIn(b"Permission denied", p.stderr)
        finally:
            os.chmod(users, 0o700)


class Options(ToolCase):
    def test_global_options_before_or_after_the_subcommand(self):
        uid = self.account()
        for args in (["--root", self.root, "--pretty", "sync", uid],
                     ["sync", uid, "--pretty", "--root", self.root],
                     ["sync", "--root", self.root, uid, "--pretty"]):
            rc, out, err = run(*args)
            self.assertEqual(rc, 0, err)
            self.assertTrue(out.startswith('{\n    "profile"'), out[:40])
        rc, out, err = run("user", "list", "--json", "--root", self.root)
        self.assertEqual(json.loads(out)[0]["userId"], uid)
        rc, out, _ = run("--version")
        self.assertRegex(out.strip(), r"^keldrune-vault \d+\.\d+\.\d+ \(library \d+\.\d+\.\d+\)$")

    def test_secrets_from_standard_input_or_a_file_and_documents_from_either(self):
        key_file = os.path.join(self.dir, "key")
        write(key_file, "2.protected-key\n")
        uid = self.ok("user", "create", "s@example.org", "--hash", "-", "--key-file", key_file,
                      "--iterations", "600000", stdin=b"hash-from-stdin\n")
        found = json.loads(self.ok("user", "find", "s@example.org"))
        self.assertEqual((found["userId"], found["masterPasswordHash"], found["protectedKey"],
                          found["kdfIterations"]),
                         (uid, "hash-from-stdin", "2.protected-key", 600000))
        self.assertEqual(run("user", "create", "t@example.org", "--hash", "-", "--key", "-",
                             root=self.root)[0], 2)
        doc = os.path.join(self.dir, "folder.json")
        write(doc, '{"id":"from-file","name":"F"}')
        self.assertEqual(self.ok("folder", "save", uid, doc), "from-file")
        self.assertEqual(self.ok("folder", "save", uid, "-", stdin=b'{"id":"stdin","name":"S"}'),
                         "stdin")
        self.assertEqual(self.ok("folder", "save", uid, '{"id":"inline","name":"I"}'), "inline")
        ids = [f["id"] for f in json.loads(self.ok("folder", "list", uid))]
        self.assertEqual(ids, ["from-file", "stdin", "inline"])

    def test_results_of_any_size_and_every_account(self):
        uid = self.account()
        big = json.dumps({"id": "big", "notes": "n" * 100000})
        self.ok("cipher", "save", uid, stdin=big.encode())
        self.assertEqual(self.ok("cipher", "get", uid, "big"), big)
        for a in range(70):
            self.ok("cipher", "save", self.account("s%d@example.org" % a), stdin=b"{}")
        stats = json.loads(self.ok("stats"))
        self.assertEqual((stats["users"], stats["ciphers"]), (71, 71))

    def test_demo_twice_adds_nothing(self):
        rc, _, err = run("demo", root=self.root)
        self.assertEqual(rc, 0, err)
        first = {k for k in tree(self.root)}
        rc, out, err = run("demo", root=self.root)
        self.assertEqual(rc, 0, err)
        self.assertEqual({k for k in tree(self.root)}, first)
        self.assertIn("already registered", out)


if __name__ == "__main__":
    unittest.main()
