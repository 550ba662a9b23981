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
    """Every file and directory under top: kind, mode and content hash. An
    account's lock file holds no data and is left out."""
    return {path: (kind, mode, digest) for path, (kind, mode, _, digest) in snapshot(top).items()
            if os.path.basename(path) != ".lock"}


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
            (["export", missing], None, 1, "export: no account " + missing),
            (["export", "bad.id"], None, 2, "export: bad user id bad.id"),
            (["cipher", "get", uid, "../etc"], None, 2, "cipher_get: bad id"),
            (["cipher", "save", uid, "-"], b"{,}", 2, "cipher_save: invalid json"),
            (["folder", "save", uid, "-"], b"[]", 2, "folder_save: invalid json"),
            (["user", "create", ""], None, 2, "create: empty email"),
            (["user", "create", "x@example.org", "--iterations", "4294967296"], None, 2, ""),
            (["cipher"], None, 2, ""),
            (["no-such-command"], None, 2, ""),
            (["cipher", "save", uid, os.path.join(self.dir, "absent.json")], None, 2,
             "cannot read %s: No such file or directory" % os.path.join(self.dir, "absent.json")),
            (["folder", "save", uid, self.dir], None, 2, ": Is a directory"),
            (["user", "create", "k@example.org", "--key-file", os.path.join(self.dir, "nokey")],
             None, 2, "cannot read the key from %s: No such file" % os.path.join(self.dir, "nokey")),
            (["import", os.path.join(self.dir, "absent.jsonl")], None, 3, "cannot open"),
            (["import", "-"], b'{"format":"something else"}\n', 3, "not a keldrune-vault dump"),
            (["user", "exists", "a@example.org"], None, 0, ""),  # nothing above changed it
        ]
        for args, stdin, code, text in table:
            with self.subTest(args=args):
                rc, out, err = run(*args, stdin=stdin, root=self.root)
                self.assertEqual(rc, code, err)
                self.assertIn(text, err)
                # Every line a command prints on stderr names the program.
                for line in err.splitlines():
                    self.assertTrue(line.startswith("keldrune-vault: "), line)
        # Both copies of the item are as they were.
        self.assertEqual(self.ok("cipher", "get", uid, "both"), '{"id":"both"}')

    def test_help_states_the_rule(self):
        rc, out, _ = run("--help")
        self.assertEqual(rc, 0)
        self.assertIn("Exit codes: 0 done; 1 not found, already there, or check findings", out)

    def test_mistyped_commands_get_a_suggestion_and_help_is_a_command(self):
        for args, said in ((["usr", "list"], "unknown command 'usr'; did you mean 'user'?"),
                           (["user", "lst"], "unknown command 'lst' of 'user'; did you mean 'list'?"),
                           (["--root", "/nonexistent", "cihper"], "unknown command 'cihper'; did you mean 'cipher'?"),
                           (["frobnicate"], "unknown command 'frobnicate'")):
            rc, out, err = run(*args)
            self.assertEqual(rc, 2, args)
            self.assertIn("keldrune-vault: " + said, err)
        rc, out, _ = run("help")
        self.assertEqual(rc, 0)
        self.assertIn("Usage: keldrune-vault [OPTIONS] SUBCOMMAND", out)
        rc, out, _ = run("help", "cipher", "get")
        self.assertEqual(rc, 0)
        self.assertIn("Usage: keldrune-vault cipher get [OPTIONS] user_id id", out)


class RootRules(ToolCase):
    def test_only_init_and_demo_create_a_root(self):
        wrong = os.path.join(self.dir, "typo")
        commands = [["stats"], ["user", "exists", "a@example.org"], ["user", "list"],
                    ["sync", "x"], ["folder", "list", "x"], ["cipher", "save", "x", "-"],
                    ["export"], ["import", "-"], ["check"]]
        for args in commands:
            with self.subTest(args=args):
                rc, out, err = run(*args, root=wrong, stdin=b"")
                self.assertEqual(rc, 3, err)
                self.assertEqual(err.strip(), "keldrune-vault: no data root at %s; "
                                 "run `keldrune-vault init`" % wrong)
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
                         ["sync", uid], ["export"], ["import", "-"]):
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
        dump = ['{"format":"keldrune-vault-dump","version":1}']
        for a in range(70):
            dump.append(json.dumps({"account": "acc-%02d" % a, "profile": "{}", "folders": "[]"}))
            dump.append(json.dumps({"item": "x", "trash": False, "document": "{}"}))
        dump.append('{"end":true,"accounts":70,"items":70}')
        self.ok("import", "-", stdin=("\n".join(dump) + "\n").encode())
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


class LifeOfAnAccount(ToolCase):
    def test_passwd_set_email_revision_and_delete(self):
        uid = self.ok("user", "create", "life@example.org", "--hash", "h0", "--key", "k0")
        token = self.ok("user", "revision", uid)
        self.assertEqual(len(token), 32)
        rc, _, err = run("user", "passwd", uid, "--current", "-", "--hash", "h1", "--key", "k1",
                         "--iterations", "9", stdin=b"wrong\n", root=self.root)
        self.assertEqual((rc, err.strip()), (1, "keldrune-vault: set_credentials: hash mismatch"))
        self.ok("user", "passwd", uid, "--current", "-", "--hash", "h1", "--key", "k1",
                "--iterations", "9", stdin=b"h0\n")
        found = json.loads(self.ok("user", "find", "life@example.org"))
        self.assertEqual((found["masterPasswordHash"], found["kdfIterations"]), ("h1", 9))
        self.assertEqual(run("user", "passwd", uid, "--hash", "x", "--key", "y", "--iterations",
                             "1", root=self.root)[0], 2)  # no current hash
        other = self.account("other@example.org")
        rc, _, err = run("user", "set-email", uid, "OTHER@example.org", root=self.root)
        self.assertEqual((rc, err.strip()), (1, "keldrune-vault: change_email: email already registered"))
        self.ok("user", "set-email", uid, "moved@example.org")
        self.assertEqual(run("user", "exists", "life@example.org", root=self.root)[0], 1)
        self.assertNotEqual(self.ok("user", "revision", uid), token)
        # Not from a terminal: no --yes needed (a pipe here).
        self.ok("user", "delete", uid, stdin=b"")
        self.assertEqual(run("user", "delete", uid, stdin=b"", root=self.root)[0], 1)
        self.assertEqual(run("user", "revision", uid, root=self.root)[0], 1)
        self.assertEqual(run("user", "set-email", uid, "z@example.org", root=self.root)[0], 1)
        self.assertEqual(json.loads(self.ok("user", "find", "other@example.org"))["userId"], other)
        self.assertEqual(run("check", root=self.root)[0], 0)


    def test_replace_vault_from_a_document(self):
        uid = self.ok("user", "create", "rot@example.org", "--hash", "h0", "--key", "k0")
        self.ok("cipher", "save", uid, stdin=b'{"id":"a","v":0}')
        doc = {"currentHash": "h0", "hash": "h1", "iterations": 7, "protectedKey": "k1",
               "ciphers": [{"id": "a", "v": 1}], "trash": [],
               "folders": [{"id": "f", "name": "n"}]}
        rc, _, err = run("user", "replace-vault", uid, "--from", "-",
                         stdin=json.dumps(dict(doc, ciphers=[])).encode(), root=self.root)
        self.assertEqual((rc, err.strip()), (1, "keldrune-vault: replace_vault: items changed meanwhile"))
        self.ok("user", "replace-vault", uid, "--from", "-", stdin=json.dumps(doc).encode())
        self.assertEqual(self.ok("cipher", "get", uid, "a"), '{"id":"a","v":1}')
        found = json.loads(self.ok("user", "find", "rot@example.org"))
        self.assertEqual((found["masterPasswordHash"], found["kdfIterations"]), ("h1", 7))
        rc, _, err = run("user", "replace-vault", uid, "--from", "-", stdin=json.dumps(doc).encode(),
                         root=self.root)
        self.assertEqual((rc, err.strip()), (1, "keldrune-vault: replace_vault: hash mismatch"))
        self.assertEqual(run("user", "replace-vault", uid, "--from", "-", stdin=b"[]",
                             root=self.root)[0], 3)
        self.assertEqual(run("check", root=self.root)[0], 0)


class DumpAndLoad(ToolCase):
    def odd_tree(self):
        """Two accounts with valid but unusual content, partly written by hand."""
        a = self.account("Zoë+odd@example.org")
        b = self.account('quote"back\\slash@example.org')
        docs = [
            '{"id":"unicode","name":"2.ünïcödé 🗝","notes":"\\u00e9\\/\\u0000"}',
            '{\n  "id" : "pretty",\n\t"type" : 1\n}\n',
            '{"id":"dupkeys","a":1,"a":2,"n":1.0e+2}',
            json.dumps({"id": "large", "notes": "x" * 300000}),
            '  [1, 2, {"id": "not-an-object"}]  ',
        ]
        for d in docs:
            self.ok("cipher", "save", a, stdin=d.encode())
        self.ok("cipher", "save", a, stdin=b'{"id":"both","v":"trashed"}')
        self.ok("cipher", "delete", a, "both")
        self.ok("cipher", "save", a, stdin=b'{"id":"both","v":"live"}')
        self.ok("folder", "save", a, '{"id":"f1","name":"2.folder ü"}')
        ciphers = os.path.join(self.root, "users", a, "ciphers")
        # Written by hand: a file whose name is not its "id", and bytes that
        # are not UTF-8.
        write(os.path.join(ciphers, "renamed.json"), '{"id":"another-id"}')
        write(os.path.join(ciphers, "raw.json"), b'{"n":"\xff\xfe"}')
        # The second account has no folder list and an empty trash.
        os.remove(os.path.join(self.root, "users", b, "folders.json"))
        return a, b

    def test_round_trip_reproduces_every_document(self):
        a, b = self.odd_tree()
        rc, dump, err = run("export", root=self.root)
        self.assertEqual(rc, 0, err)
        lines = dump.splitlines()
        self.assertEqual(json.loads(lines[-1]), {"end": True, "accounts": 2, "items": 9})
        other = os.path.join(self.dir, "other")
        self.ok("init", root=other)
        rc, out, err = run("import", "-", stdin=dump.encode("utf-8", "surrogateescape"),
                           root=other)
        self.assertEqual(rc, 0, err)
        self.assertIn("2 created, 0 replaced, 0 refused, 9 items", out)
        self.assertEqual(tree(os.path.join(other, "users")), tree(os.path.join(self.root, "users")))
        rc, again, _ = run("export", root=other)
        self.assertEqual(again, dump)
        # Named accounts only.
        rc, one, _ = run("export", b, root=self.root)
        self.assertEqual([json.loads(l).get("account") for l in one.splitlines()[1:-1]], [b])

    def test_dumps_are_the_owners_alone(self):
        a, b = self.odd_tree()
        dump = os.path.join(self.dir, "dump.jsonl")
        self.ok("export", "--output", dump)
        self.assertEqual(os.stat(dump).st_mode & 0o777, 0o600)
        with open(dump, "rb") as f:
            first = f.read()
        # An existing file is never replaced: a usage error, the file as it was.
        rc, _, err = run("export", "-o", dump, root=self.root)
        self.assertEqual(rc, 2, err)
        self.assertIn("a dump never replaces a file", err)
        with open(dump, "rb") as f:
            self.assertEqual(f.read(), first)
        # A shell's redirection to a file others may read is narrowed.
        redirected = os.path.join(self.dir, "redirected.jsonl")
        with open(redirected, "wb") as out:
            os.chmod(redirected, 0o644)
            p = subprocess.run([TOOL, "--root", self.root, "export"], stdout=out,
                               capture_output=False, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(os.stat(redirected).st_mode & 0o777, 0o600)
        with open(redirected, "rb") as f:
            self.assertEqual(f.read(), first)
        # import reads the file --output wrote.
        other = os.path.join(self.dir, "other")
        self.ok("init", root=other)
        self.ok("import", dump, root=other)
        self.assertEqual(tree(os.path.join(other, "users")), tree(os.path.join(self.root, "users")))

    def test_get_then_save_keeps_the_bytes(self):
        uid = self.account()
        doc = b'{"id":"n1","notes":"no final newline"}'
        self.ok("cipher", "save", uid, stdin=doc)
        for _ in range(3):
            rc, out, err = run("cipher", "get", uid, "n1", root=self.root)
            self.assertEqual(rc, 0, err)
            self.assertEqual(out.encode(), doc)
            self.ok("cipher", "save", uid, stdin=out.encode())
        path = os.path.join(self.root, "users", uid, "ciphers", "n1.json")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), doc)
        # --pretty output ends its last line.
        self.assertTrue(run("cipher", "get", uid, "n1", "--pretty", root=self.root)[1]
                        .endswith("}\n"))

    def test_existing_accounts_are_refused_unless_replaced(self):
        a, b = self.odd_tree()
        dump = run("export", a, root=self.root)[1].encode("utf-8", "surrogateescape")
        before = tree(self.root)
        rc, out, err = run("import", "-", stdin=dump, root=self.root)
        self.assertEqual(rc, 1, err)
        self.assertIn("refused   %s: the account exists" % a, out)
        self.assertEqual(tree(self.root), before)
        # The dump's account replaces the tree's, whole.
        self.ok("cipher", "save", a, stdin=b'{"id":"added-later"}')
        rc, out, err = run("--json", "import", "--replace", "-", stdin=dump, root=self.root)
        self.assertEqual(rc, 0, err)
        self.assertEqual(json.loads(out)["replaced"], [a])
        self.assertEqual(tree(self.root), before)
        # An address is one account's: the same e-mail under another id is refused.
        clash = dump.replace(a.encode(), b"11111111-2222-4333-8444-555555555555")
        rc, out, err = run("import", "-", stdin=clash, root=self.root)
        self.assertEqual(rc, 1, err)
        self.assertIn("its e-mail is registered to " + a, out)

    def test_never_half_an_account(self):
        a, b = self.odd_tree()
        dump = run("export", a, root=self.root)[1].encode("utf-8", "surrogateescape")
        other = os.path.join(self.dir, "other")
        self.ok("init", root=other)
        lines = dump.splitlines(keepends=True)
        cases = {
            "cut": b"".join(lines[:-3]),  # no end line, items missing
            "an item twice": b"".join(lines[:3] + lines[2:]),
            "a bad line": b"".join(lines[:3] + [b"{not json\n"] + lines[3:]),
        }
        for what, data in cases.items():
            with self.subTest(what):
                rc, out, err = run("import", "-", stdin=data, root=other)
                self.assertEqual(rc, 3, err)
                # Nothing but the (empty) e-mail index that init makes.
                self.assertEqual(os.listdir(os.path.join(other, "users")), [".email-index"])
                self.assertEqual(os.listdir(os.path.join(other, "users", ".email-index")), [])
        # What a killed import leaves behind is hidden from every listing,
        # and check names it.
        os.makedirs(os.path.join(other, "users", ".%s.tmp.1.2.3" % a, "ciphers"))
        rc, out, err = run("check", "--json", root=other)
        self.assertEqual([f["kind"] for f in json.loads(out)["findings"]], ["import-leftover"])
        self.assertEqual(json.loads(self.ok("stats", root=other))["users"], 0)

    def test_ten_thousand_items_in_one_process(self):
        def line(obj):
            return json.dumps(obj, separators=(",", ":"))

        dump = ['{"format":"keldrune-vault-dump","version":1}',
                line({"account": "big-account", "profile": '{"email":"big@example.org"}',
                      "folders": "[]"})]
        for trash in (False, True):  # export lists live items, then the trash
            for i in range(10000):
                if (i % 10 == 0) == trash:
                    dump.append(line({"item": "i%05d" % i, "trash": trash,
                                      "document": '{"id":"i%05d","p":"%s"}' % (i, "p" * 200)}))
        dump.append('{"end":true,"accounts":1,"items":10000}')
        data = ("\n".join(dump) + "\n").encode()
        rc, out, err = run("import", "-", stdin=data, root=self.root)
        self.assertEqual(rc, 0, err)
        self.assertIn("10000 items", out)
        stats = json.loads(self.ok("stats"))
        self.assertEqual((stats["ciphers"], stats["trash"]), (9000, 1000))
        self.assertEqual(len(json.loads(self.ok("sync", "big-account"))["ciphers"]), 9000)
        rc, again, _ = run("export", root=self.root)
        self.assertEqual(again.encode(), data)


class DocumentsResultsAndMessages(ToolCase):
    def test_every_save_takes_a_file_standard_input_or_the_text(self):
        uid = self.account()
        # Inline text: the first non-blank character is a brace or bracket.
        for cmd in ("cipher", "folder"):
            with self.subTest(cmd):
                doc = ' \n {"id":"inline-%s","name":"n"}' % cmd
                self.assertEqual(self.ok(cmd, "save", uid, doc), "inline-" + cmd)
        path = os.path.join(self.root, "users", uid, "ciphers", "inline-cipher.json")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b' \n {"id":"inline-cipher","name":"n"}')
        self.assertTrue(self.ok("cipher", "save", uid, "[1,2]"))
        # A file whose name starts with a brace is reached through a path.
        odd = os.path.join(self.dir, "{odd}.json")
        write(odd, '{"id":"from-odd-file"}')
        self.assertEqual(self.ok("cipher", "save", uid, odd), "from-odd-file")
        # Anything else names a file: a mistake there is a usage error with
        # the reason, and nothing is stored.
        rc, out, err = run("cipher", "save", uid, "type:1", root=self.root)
        self.assertEqual((rc, out), (2, ""))
        self.assertEqual(err, "keldrune-vault: cannot read type:1: No such file or directory\n")
        # Inline text the library refuses is refused as a document, not a file.
        rc, _, err = run("cipher", "save", uid, "{not json", root=self.root)
        self.assertEqual((rc, err.strip()), (2, "keldrune-vault: cipher_save: invalid json"))
        # Read, saved again as an argument, read again: the same bytes.
        doc = '{"id":"round","notes":"caf\u00e9 \\/ \\"q\\"","n":1.50}'
        self.ok("cipher", "save", uid, doc)
        for _ in range(3):
            got = run("cipher", "get", uid, "round", root=self.root)[1]
            self.assertEqual(got, doc)
            self.ok("cipher", "save", uid, got)
        self.assertEqual(len(os.listdir(os.path.dirname(path))), 4)

    def test_json_results_parse(self):
        self.account("j@example.org")
        rc, out, err = run("user", "create", "k@example.org", "--json", root=self.root)
        uid = json.loads(out)["userId"]
        calls = {
            ("user", "exists", "j@example.org"): lambda r: r["registered"] is True,
            ("user", "find", "j@example.org"): lambda r: r["userId"],
            ("user", "list"): lambda r: len(r) == 2,
            ("stats",): lambda r: r["users"] == 2,
            ("last-error",): lambda r: isinstance(r["error"], str),
        }
        for args, test in calls.items():
            for pretty in ([], ["--pretty"]):
                with self.subTest(args=args, pretty=pretty):
                    rc, out, err = run("--json", *(list(args) + pretty), root=self.root)
                    self.assertEqual(rc, 0, err)
                    self.assertTrue(test(json.loads(out)), out)
                    self.assertEqual(out.count("\n") > 1, bool(pretty), out)
        per_account = {
            ("check",): lambda r: r["findings"] == [],
            ("cipher", "save", uid, '{"id":"c1"}'): lambda r: r["id"] == "c1",
            ("folder", "save", uid, '{"id":"f1","name":"F"}'): lambda r: r["id"] == "f1",
            ("cipher", "get", uid, "c1"): lambda r: r["id"] == "c1",
            ("folder", "list", uid): lambda r: r[0]["id"] == "f1",
            ("user", "profile", uid): lambda r: r["email"] == "k@example.org",
            ("user", "revision", uid): lambda r: len(r["revision"]) == 32,
            ("sync", uid): lambda r: r["ciphers"][0]["id"] == "c1",
        }
        for args, test in per_account.items():
            with self.subTest(args=args):
                rc, out, err = run(*args, "--json", root=self.root)
                self.assertEqual(rc, 0, err)
                self.assertTrue(test(json.loads(out)), out)
        # A "no" is an answer in JSON too, with exit 1.
        rc, out, _ = run("--json", "user", "exists", "none@example.org", root=self.root)
        self.assertEqual((rc, json.loads(out)), (1, {"registered": False}))

    def test_quiet_leaves_only_results_and_errors(self):
        uid = self.account()
        rc, out, err = run("user", "delete", uid, "--quiet", stdin=b"", root=self.root)
        self.assertEqual((rc, out, err), (0, "", ""))
        rc, out, err = run("--quiet", "cipher", "get", uid, "x", root=self.root)
        self.assertEqual((rc, err), (1, "keldrune-vault: no account %s\n" % uid))


class CheckForHostsOfTheFixedFunctions(ToolCase):
    def test_accounts_and_items_the_fixed_size_functions_cannot_return(self):
        uid = self.account()
        self.ok("cipher", "save", uid, stdin=json.dumps({"id": "huge", "n": "n" * 70000}).encode())
        for i in range(4):
            self.ok("cipher", "save", uid,
                    stdin=json.dumps({"id": "c%d" % i, "n": "n" * 60000}).encode())
        small = self.account("small@example.org")
        rc, out, err = run("check", "--json", root=self.root)
        self.assertEqual(rc, 1, err)
        kinds = {(f["kind"], os.path.basename(f["path"])) for f in json.loads(out)["findings"]}
        self.assertIn(("too-large", "huge.json"), kinds)
        self.assertIn(("sync-too-large", uid), kinds)
        self.assertFalse(any(small in path for _, path in kinds))


if __name__ == "__main__":
    unittest.main()
