"""Tests of the keldrune_vault package against the built library.

Run by ctest (unittest; pytest runs them too) with KELDRUNE_VAULT_LIB set to
the built library and the package directory on sys.path."""

import errno
import json
import os
import shutil
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import keldrune_vault as kv  # noqa: E402
from keldrune_vault import (AlreadyExistsError, ErrorCode, InvalidError,  # noqa: E402
                            NotFoundError, Vault, VaultError)

LIB = os.environ["KELDRUNE_VAULT_LIB"]


class VaultCase(unittest.TestCase):
    """A fresh data root per test, opened in the library."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-pkg-")
        self.root = os.path.join(self.dir, "root")
        self.vault = Vault(self.root, library=LIB, create=True)

    def tearDown(self):
        self.vault.close()
        shutil.rmtree(self.dir)


class ErrorsAndArguments(VaultCase):
    def test_failures_raise_the_right_class_with_the_library_message(self):
        v = self.vault
        uid = v.user_create("e@example.org")
        v.cipher_save(uid, '{"id":"both"}')
        v.cipher_delete(uid, "both")
        v.cipher_save(uid, '{"id":"both"}')  # live and trashed at once
        cases = [
            # (call, class, message)
            (lambda: v.user_create("E@EXAMPLE.org"), AlreadyExistsError,
             "create: email already registered"),
            (lambda: v.user_find_by_email("nobody@example.org"), NotFoundError,
             "find_by_email: no account has this e-mail"),
            (lambda: v.user_get_profile_json("no-such-user"), NotFoundError,
             "profile: not found"),
            (lambda: v.cipher_get(uid, "nothing"), NotFoundError, "cipher_get: not found"),
            (lambda: v.cipher_delete(uid, "nothing"), NotFoundError,
             "cipher_delete: not found"),
            (lambda: v.cipher_delete(uid, "both"), AlreadyExistsError,
             "cipher_delete: rename File exists"),
            (lambda: v.cipher_restore_from_trash(uid, "both"), AlreadyExistsError,
             "restore: rename File exists"),
            (lambda: v.cipher_restore_from_trash(uid, "nothing"), NotFoundError,
             "restore: not in trash"),
            (lambda: v.folder_delete(uid, "nothing"), NotFoundError, "folder_delete: not found"),
            (lambda: v.sync_generate_json("no-such-user"), NotFoundError,
             "sync: user not found"),
            # The library's saves fail on the missing directory with a path
            # message, and its folder list reads as "[]": both are told apart.
            (lambda: v.cipher_save("no-such-user", "{}"), NotFoundError,
             "cipher_save: user not found"),
            (lambda: v.folder_save("no-such-user", "{}"), NotFoundError,
             "folder_save: user not found"),
            (lambda: v.folders_get_json("no-such-user"), NotFoundError,
             "folders: user not found"),
            (lambda: v.cipher_save(uid, "{,}"), InvalidError, "cipher_save: invalid json"),
            (lambda: v.cipher_get(uid, "../etc"), InvalidError, "cipher_get: bad id"),
            (lambda: v.user_create("bad@example.org", b"\xff"), InvalidError,
             "create: invalid utf-8"),
            (lambda: v.user_get_profile_json("../etc"), InvalidError, "profile: bad user id"),
        ]
        for call, cls, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(VaultError) as caught:
                    call()
                self.assertIs(type(caught.exception), cls)
                self.assertEqual(caught.exception.message, message)
                code = {NotFoundError: ErrorCode.NOT_FOUND, AlreadyExistsError: ErrorCode.EXISTS,
                        InvalidError: ErrorCode.INVALID}[cls]
                self.assertEqual(caught.exception.code, code)
                # The system's errno where a system call refused, else 0.
                if message.endswith("File exists"):
                    self.assertEqual(caught.exception.errno, errno.EEXIST)
                if cls is InvalidError:
                    self.assertEqual(caught.exception.errno, 0)
                self.assertEqual(str(caught.exception), message)
        # Nothing above changed the item's two copies.
        self.assertEqual(v.cipher_get(uid, "both"), '{"id":"both"}')

    def test_arguments_are_checked_before_the_call(self):
        v = self.vault
        uid = v.user_create("args@example.org")
        cases = [
            (lambda: v.user_exists(123), TypeError),
            (lambda: v.user_exists(None), TypeError),
            (lambda: v.user_create("x@example.org", iterations=2**32), ValueError),
            (lambda: v.user_create("x@example.org", iterations=2**40), ValueError),
            (lambda: v.user_create("x@example.org", iterations=-1), ValueError),
            (lambda: v.user_create("x@example.org", iterations=True), TypeError),
            (lambda: v.user_create("x@example.org", iterations=1.5), TypeError),
            (lambda: v.user_create("x@example.org", master_password_hash=5), TypeError),
            (lambda: v.user_create("x\0y@example.org"), ValueError),
            (lambda: v.cipher_save(uid, {"type": 1}), TypeError),
            (lambda: v.cipher_save(uid, '{"a":"\0"}'), ValueError),
            (lambda: v.cipher_get(uid, 7), TypeError),
            (lambda: v.cipher_delete(uid, "x", permanent=1), TypeError),
            (lambda: Vault(42, library=LIB), TypeError),
            (lambda: Vault("", library=LIB), ValueError),
        ]
        for call, cls in cases:
            with self.subTest(cls=cls.__name__):
                with self.assertRaises(cls):
                    call()
        # None of them reached the library.
        self.assertFalse(v.user_exists("x@example.org"))
        self.assertEqual(json.loads(v.storage_get_stats_json())["ciphers"], 0)
        # The bounds themselves pass.
        top = v.user_create("top@example.org", iterations=2**32 - 1)
        self.assertEqual(v.user_find_by_email("top@example.org").iterations, 2**32 - 1)
        self.assertEqual(len(top), 36)


class Behaviour(VaultCase):
    def test_accounts_with_credential_buffers_and_escaping(self):
        v = self.vault
        uid = v.user_create("Zoë@example.org", "h" * 200, 4294967295, "k" * 600)
        self.assertTrue(v.user_exists("zoë@EXAMPLE.org"))
        self.assertFalse(v.user_exists("ZOË@example.org"))  # only ASCII letters fold
        found = v.user_find_by_email("zoë@example.org")
        self.assertEqual(found, kv.Account(uid, 4294967295, "h" * 127, "k" * 511))
        profile = json.loads(v.user_get_profile_json(uid))
        self.assertEqual((profile["email"], profile["securityStamp"]), ("Zoë@example.org", uid))

        odd = v.user_create('a"b\\c@example.org', None, 0, None)
        profile = json.loads(v.user_get_profile_json(odd))
        self.assertEqual(profile["email"], 'a"b\\c@example.org')
        self.assertEqual((profile["masterPasswordHash"], profile["protectedKey"]), ("", ""))
        # Empty strings are told apart from members a profile lacks.
        self.assertEqual(v.user_find_by_email('A"B\\C@example.org')[2:], ("", ""))

    def test_life_of_an_account_with_codes_as_exceptions(self):
        v = self.vault
        uid = v.user_create("life@example.org", "h0", 1, "k0")
        with self.assertRaises(kv.MismatchError):
            v.user_set_credentials(uid, "wrong", "h1", 2, "k1")
        v.user_set_credentials(uid, "h0", "h1", 2, "k1")
        self.assertEqual(v.user_find_by_email("life@example.org")[1:], (2, "h1", "k1"))
        other = v.user_create("other@example.org")
        with self.assertRaises(AlreadyExistsError):
            v.user_change_email(uid, "OTHER@example.org")
        v.user_change_email(uid, "moved@example.org")
        self.assertFalse(v.user_exists("life@example.org"))
        token = v.user_revision(uid)
        self.assertEqual(len(token), 32)
        v.user_delete(uid)
        for call in (lambda: v.user_delete(uid), lambda: v.user_revision(uid),
                     lambda: v.user_change_email(uid, "x@example.org"),
                     lambda: v.user_set_credentials(uid, "h1", "h2", 1, "k")):
            with self.assertRaises(NotFoundError):
                call()
        self.assertFalse(v.user_exists("moved@example.org"))
        self.assertEqual(v.user_find_by_email("other@example.org").user_id, other)

    def test_replace_vault_is_a_double_compare_and_swap(self):
        v = self.vault
        uid = v.user_create("rotate@example.org", "h0", 1, "k0")
        v.cipher_save(uid, '{"id":"a","v":0}')
        with self.assertRaises(kv.MismatchError):
            v.user_replace_vault(uid, "wrong", "h1", 2, "k1", '[{"id":"a"}]', "[]", "[]")
        with self.assertRaises(kv.ChangedError):
            v.user_replace_vault(uid, "h0", "h1", 2, "k1", '[{"id":"b"}]', "[]", "[]")
        with self.assertRaises(kv.InvalidError):
            v.user_replace_vault(uid, "h0", "h1", 2, "k1", '{"id":"a"}', "[]", "[]")
        v.user_replace_vault(uid, "h0", "h1", 2, "k1", '[ {"id":"a","v":1} ]',
                             '[]', '[{"id":"f","name":"n"}]')
        self.assertEqual(v.cipher_get(uid, "a"), '{"id":"a","v":1}')
        self.assertEqual(v.user_find_by_email("rotate@example.org")[1:], (2, "h1", "k1"))
        with self.assertRaises(NotFoundError):
            v.user_replace_vault("nobody", "h", "h", 1, "k", "[]", "[]", "[]")

    def test_items_round_trip_any_size_and_any_bytes(self):
        v = self.vault
        uid = v.user_create("items@example.org")
        doc = '{"id":"abc", "name":"2.ünïcode"}'
        self.assertEqual(v.cipher_save(uid, doc), "abc")
        self.assertEqual(v.cipher_get(uid, "abc"), doc)
        big = json.dumps({"id": "big", "notes": "n" * 200000})  # past the 64 KiB buffer
        self.assertEqual(v.cipher_save(uid, big), "big")
        self.assertEqual(v.cipher_get(uid, "big"), big)
        self.assertEqual(len(v.cipher_save(uid, b"[1,2]")), 36)  # bytes; no id: a UUID
        v.cipher_delete(uid, "abc")
        v.cipher_restore_from_trash(uid, "abc")
        v.cipher_delete(uid, "abc", permanent=True)
        with self.assertRaises(NotFoundError):
            v.cipher_restore_from_trash(uid, "abc")
        for i in range(300):  # past the 256 KiB of the fixed sync buffer
            v.cipher_save(uid, json.dumps({"id": "i%d" % i, "pad": "p" * 1000}))
        sync = json.loads(v.sync_generate_json(uid))
        self.assertEqual(len(sync["ciphers"]), 302)

    def test_folders_sync_and_statistics(self):
        v = self.vault
        uid = v.user_create("f@example.org")
        self.assertEqual(v.folders_get_json(uid), "[]")
        fid = v.folder_save(uid, '{"name":"Work"}')
        self.assertEqual(json.loads(v.folders_get_json(uid)),
                         [{"id": fid, "name": "Work", "object": "folder"}])
        self.assertEqual(v.folder_save(uid, '{"id":"f2","name":"Home"}'), "f2")
        v.folder_delete(uid, "f2")
        v.cipher_save(uid, '{"id":"c1"}')
        sync = json.loads(v.sync_generate_json(uid))
        self.assertEqual(list(sync), ["profile", "folders", "ciphers", "domains", "object"])
        self.assertEqual(sync["ciphers"], [{"id": "c1"}])
        for i in range(70):  # every account counts, not the first 64
            v.cipher_save(v.user_create("s%d@example.org" % i), "{}")
        stats = json.loads(v.storage_get_stats_json())
        self.assertEqual((stats["users"], stats["ciphers"], stats["root"]), (71, 71, self.root))
        self.assertRegex(v.library_version, r"^[0-9]+\.[0-9]+\.[0-9]+$")
        # Every export the package declares is bound, none of the fixed-size
        # text functions among them.
        lib = kv._native.load_library()
        self.assertEqual(sorted(lib.fn), sorted(kv._native.SIGNATURES))
        self.assertFalse([n for n in lib.fn if n.endswith("_json") or n == "vault_cipher_get"])
        self.assertEqual(kv.library_version(), v.library_version)


class ProcessState(unittest.TestCase):
    """One library state per process, and where the library comes from."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-pkg-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_relative_root_survives_chdir(self):
        cwd = os.getcwd()
        os.chdir(self.dir)
        try:
            v = Vault.init("rel", library=LIB)
            uid = v.user_create("rel@example.org")
            os.chdir("/")
            self.assertTrue(v.user_exists("rel@example.org"))
            self.assertEqual(v.user_find_by_email("rel@example.org").user_id, uid)
            v.user_create("rel2@example.org")
            self.assertTrue(os.path.isdir(os.path.join(self.dir, "rel", "users")))
            v.close()
        finally:
            os.chdir(cwd)

    def test_one_root_per_process(self):
        a_root = os.path.join(self.dir, "a")
        a = Vault(a_root, library=LIB, create=True)
        with self.assertRaises(VaultError) as caught:
            Vault(os.path.join(self.dir, "b"), library=LIB, create=True)
        self.assertIn("one data root per process", caught.exception.message)
        # The same root (spelt differently) shares the state; the root stays
        # open until its last Vault closes.
        again = Vault(os.path.join(a_root, "..", "a"), library=LIB)
        uid = a.user_create("shared@example.org")
        a.close()
        a.close()  # harmless
        self.assertTrue(a.closed)
        with self.assertRaises(VaultError) as caught:
            a.user_exists("shared@example.org")
        self.assertEqual(caught.exception.message, "vault: closed")
        self.assertEqual(json.loads(again.user_get_profile_json(uid))["email"],
                         "shared@example.org")
        again.close()
        with Vault(os.path.join(self.dir, "b"), library=LIB, create=True) as b:
            self.assertFalse(b.user_exists("shared@example.org"))
        # A root that cannot be made is a failure, and leaves no state behind.
        with self.assertRaises(VaultError) as caught:
            Vault(os.path.join(self.dir, "no", "such", "parent"), library=LIB, create=True)
        self.assertTrue(caught.exception.message.startswith("mkdir failed: "))
        Vault.init(os.path.join(self.dir, "c"), library=LIB).close()

    def test_opening_never_creates_a_root(self):
        # A mistyped path, a bare directory, a tree without config.json:
        # refused, and nothing is made.
        missing = os.path.join(self.dir, "mistyped")
        bare = os.path.join(self.dir, "bare")
        os.mkdir(bare)
        half = os.path.join(self.dir, "half")
        os.makedirs(os.path.join(half, "users"))
        for path, said in ((missing, "no data root"), (bare, "no users"),
                           (half, "no config.json")):
            with self.assertRaises(NotFoundError) as caught:
                Vault(path, library=LIB)
            self.assertIn(said, caught.exception.message)
        self.assertFalse(os.path.exists(missing))
        self.assertEqual(os.listdir(bare), [])
        # Once made, the plain open works.
        Vault.init(half, library=LIB).close()
        with Vault(half, library=LIB) as v:
            self.assertFalse(v.user_exists("x@example.org"))

    def test_a_library_that_cannot_be_loaded_says_how_to_name_one(self):
        with self.assertRaises(OSError) as caught:
            kv._native.Library(os.path.join(self.dir, "nonexistent.so"))
        self.assertIn("KELDRUNE_VAULT_LIB", str(caught.exception))
        self.assertIn("library=", str(caught.exception))

    def test_finding_the_library(self):
        self.assertEqual(kv.find_library("/x/lib.so"), "/x/lib.so")
        saved = os.environ.pop(kv.ENV_LIBRARY)
        try:
            self.assertEqual(kv.find_library(), kv.SONAME)
        finally:
            os.environ[kv.ENV_LIBRARY] = saved
        self.assertEqual(kv.find_library(), LIB)
        # Loaded once per process: another file is refused, the same one is not.
        other = os.path.join(self.dir, "copy.so")
        shutil.copy(LIB, other)
        with self.assertRaises(OSError):
            Vault(os.path.join(self.dir, "r"), library=other, create=True)
        Vault(os.path.join(self.dir, "r"), library=os.path.realpath(LIB), create=True).close()


class Threads(VaultCase):
    def test_threads_get_their_own_results_and_errors(self):
        """Eight threads at once on one account and their own: every text
        and every exception is the calling thread's."""
        v = self.vault
        shared = v.user_create("threads@example.org")
        wrong = []

        def work(t):
            own = v.user_create("t%d@example.org" % t)
            for i in range(20):
                cid = "t%d-%d" % (t, i % 7)
                doc = json.dumps({"id": cid, "t": t, "i": i, "pad": "x" * (t * 100 + i)})
                for uid in (shared, own):
                    if v.cipher_save(uid, doc) != cid or v.cipher_get(uid, cid) != doc:
                        wrong.append("%s %s" % (uid, cid))
                try:
                    v.cipher_get(own, "missing-%d" % t)
                    wrong.append("found a missing item")
                except NotFoundError as e:
                    if e.message != "cipher_get: not found":
                        wrong.append(e.message)
                try:
                    v.cipher_save(own, "{not json %d" % t)
                except VaultError as e:
                    if e.message != "cipher_save: invalid json":
                        wrong.append(e.message)
            if len(json.loads(v.sync_generate_json(own))["ciphers"]) != 7:
                wrong.append("sync of " + own)

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        self.assertEqual(wrong, [])
        self.assertEqual(len(json.loads(v.sync_generate_json(shared))["ciphers"]), 8 * 7)

    def test_close_while_threads_call(self):
        """Closing waits for calls in flight; later calls raise, none crash."""
        v = self.vault
        uid = v.user_create("closing@example.org")
        v.cipher_save(uid, '{"id":"c"}')
        started = threading.Barrier(5)
        outcomes = []

        def work():
            started.wait()
            try:
                while True:
                    if v.cipher_get(uid, "c") != '{"id":"c"}':
                        outcomes.append("wrong text")
            except VaultError as e:
                outcomes.append(e.message)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for th in threads:
            th.start()
        started.wait()
        v.close()
        for th in threads:
            th.join()
        self.assertEqual(outcomes, ["vault: closed"] * 4)


class Install(unittest.TestCase):
    def test_installs_offline_with_the_system_tools(self):
        """pip install --no-build-isolation of a copy of the package, then
        an import from the installed files: metadata, licence, py.typed."""
        import subprocess
        # pip and setuptools, and a wheel builder (setuptools before 70.1
        # builds wheels with the separate wheel package).
        tools = ("import setuptools, pip\n"
                 "try:\n    import wheel\n"
                 "except ImportError:\n    import setuptools.command.bdist_wheel\n")
        probe = subprocess.run([sys.executable, "-c", tools], capture_output=True, text=True)
        if probe.returncode != 0:
            self.skipTest("no build tools: " + (probe.stderr.strip().splitlines() or ["?"])[-1])
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
        with tempfile.TemporaryDirectory() as d:
            copy = os.path.join(d, "src")
            shutil.copytree(source, copy, ignore=shutil.ignore_patterns(
                "__pycache__", "build", "*.egg-info", "tests"))
            target = os.path.join(d, "site")
            out = subprocess.run(
                [sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                 "--no-deps", "--no-index", "--disable-pip-version-check", "--target", target,
                 copy], capture_output=True, text=True)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            probe = ("import importlib.metadata as m, os, keldrune_vault as kv; "
                     "d = m.metadata('keldrune-vault'); "
                     "print(kv.__file__.startswith(%r), d['License'], d['Version'], "
                     "kv.__version__, os.path.exists(os.path.join(os.path.dirname(kv.__file__), "
                     "'py.typed')), kv.library_version())" % target)
            env = dict(os.environ, PYTHONPATH=target, KELDRUNE_VAULT_LIB=os.path.abspath(LIB))
            out = subprocess.run([sys.executable, "-c", probe], env=env, cwd=d,
                                 capture_output=True, text=True)
            self.assertEqual(out.returncode, 0, out.stderr)
            inside, licence, version, package_version, typed, lib_version = out.stdout.split()
            self.assertEqual((inside, licence, typed), ("True", "Apache-2.0", "True"))
            self.assertEqual(version, package_version)
            # The package's version follows the library's.
            self.assertEqual(version, lib_version)


if __name__ == "__main__":
    unittest.main()
