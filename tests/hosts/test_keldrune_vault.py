"""Tests of the ctypes binding against the built library: every export is
reached, outputs come back through the right buffers, texts decode from
UTF-8, and failures report through last_error().

Run by ctest with KELDRUNE_VAULT_LIB set to the built library and
KELDRUNE_VAULT_EXAMPLES to examples/python."""

import json
import os
import shutil
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.environ.get("KELDRUNE_VAULT_EXAMPLES", ""))
import keldrune_vault  # noqa: E402

LIB = os.environ["KELDRUNE_VAULT_LIB"]


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.vault = keldrune_vault.VaultStorage(LIB)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kv-py-")
        self.root = os.path.join(self.dir, "root")
        self.assertEqual(self.vault.init(self.root), 0, self.vault.last_error())

    def tearDown(self):
        self.vault.cleanup()
        shutil.rmtree(self.dir)

    def test_all_exports_are_bound(self):
        # The sixteen of the first interface and the seven added for results
        # the caller owns.
        self.assertEqual(len(keldrune_vault._SIGNATURES), 23)
        for name in keldrune_vault._SIGNATURES:
            self.assertTrue(hasattr(self.vault._lib, name), name)
        self.assertRegex(self.vault.version(), r"^[0-9]+\.[0-9]+\.[0-9]+$")

    def test_accounts_round_trip_with_credential_buffers(self):
        long_hash = "h" * 200
        long_key = "k" * 600
        rc, uid = self.vault.user_create("Zoë@example.org", long_hash, 4294967295, long_key)
        self.assertEqual(rc, 0, self.vault.last_error())
        self.assertEqual(len(uid), 36)
        self.assertEqual(self.vault.user_exists("zoë@EXAMPLE.org"), 1)
        self.assertEqual(self.vault.user_exists("nobody@example.org"), 0)
        rc, found, iterations, hash_, key = self.vault.user_find_by_email("zoë@example.org")
        self.assertEqual((rc, found, iterations), (0, uid, 4294967295))
        self.assertEqual(hash_, "h" * 127)  # the 128-byte buffer
        self.assertEqual(key, "k" * 511)  # the 512-byte buffer
        profile = json.loads(self.vault.user_get_profile_json(uid))
        self.assertEqual(profile["email"], "Zoë@example.org")  # decoded from UTF-8
        self.assertEqual(profile["securityStamp"], uid)

        # Only ASCII letters fold: Ë is another address than ë.
        self.assertEqual(self.vault.user_exists("ZOË@example.org"), 0)
        rc, again = self.vault.user_create("ZOë@EXAMPLE.ORG")
        self.assertEqual((rc, again), (1, None))
        self.assertEqual(self.vault.last_error(), "create: email already registered")
        self.assertEqual(self.vault.user_find_by_email("nobody@example.org"),
                         (1, None, None, None, None))

    def test_null_credentials_and_json_escaping(self):
        rc, uid = self.vault.user_create('a"b\\c@example.org', None, 0, None)
        self.assertEqual(rc, 0, self.vault.last_error())
        profile = json.loads(self.vault.user_get_profile_json(uid))
        self.assertEqual(profile["email"], 'a"b\\c@example.org')
        self.assertEqual(profile["masterPasswordHash"], "")
        self.assertEqual(profile["protectedKey"], "")

    def test_ciphers_trash_and_restore(self):
        rc, uid = self.vault.user_create("c@example.org")
        doc = '{"id":"abc", "name":"2.ünïcode"}'
        self.assertEqual(self.vault.cipher_save(uid, doc), (0, "abc"))
        self.assertEqual(self.vault.cipher_get(uid, "abc"), doc)
        self.assertEqual(self.vault.cipher_delete(uid, "abc"), 0)
        self.assertIsNone(self.vault.cipher_get(uid, "abc"))
        self.assertEqual(self.vault.last_error(), "cipher_get: not found")
        self.assertEqual(self.vault.cipher_restore_from_trash(uid, "abc"), 0)
        self.assertEqual(self.vault.cipher_restore_from_trash(uid, "abc"), 1)
        self.assertEqual(self.vault.cipher_delete(uid, "abc", permanent=True), 0)
        self.assertEqual(self.vault.cipher_delete(uid, "abc"), 1)
        self.assertEqual(self.vault.cipher_save(uid, "{,}"), (-1, None))
        self.assertEqual(self.vault.last_error(), "cipher_save: invalid json")
        rc, cid = self.vault.cipher_save(uid, b'[1,2]')  # bytes pass unchanged
        self.assertEqual((rc, len(cid)), (0, 36))

    def test_folders_sync_and_stats(self):
        rc, uid = self.vault.user_create("f@example.org")
        self.assertEqual(self.vault.folders_get_json(uid), "[]")
        rc, fid = self.vault.folder_save(uid, '{"name":"Work"}')
        self.assertEqual(rc, 0)
        self.assertEqual(json.loads(self.vault.folders_get_json(uid)),
                         [{"id": fid, "name": "Work", "object": "folder"}])
        self.assertEqual(self.vault.folder_save(uid, '{"id":"f2","name":"Home"}'), (0, "f2"))
        self.assertEqual(self.vault.folder_delete(uid, "f2"), 0)
        self.assertEqual(self.vault.folder_delete(uid, "f2"), 1)
        self.vault.cipher_save(uid, '{"id":"c1"}')
        sync = json.loads(self.vault.sync_generate_json(uid))
        self.assertEqual(list(sync), ["profile", "folders", "ciphers", "domains", "object"])
        self.assertEqual(sync["ciphers"], [{"id": "c1"}])
        stats = json.loads(self.vault.stats())
        self.assertEqual((stats["users"], stats["ciphers"], stats["folders"]), (1, 1, 1))
        self.assertEqual(stats["root"], self.root)

    def test_failures_and_cleanup(self):
        self.assertEqual(self.vault.init(""), -1)
        self.assertEqual(self.vault.last_error(), "init: empty root")
        self.assertIsNone(self.vault.user_get_profile_json("../etc"))
        self.assertEqual(self.vault.last_error(), "profile: bad user id")
        self.assertIsNone(self.vault.sync_generate_json(None))
        self.vault.cleanup()
        self.assertEqual(self.vault.user_exists("x@example.org"), -1)
        self.assertEqual(self.vault.last_error(), "not initialized")
        self.assertIsNone(self.vault.stats())
        self.assertEqual(self.vault.last_error(), "stats: not initialized")

    def test_results_of_any_size(self):
        rc, uid = self.vault.user_create("big@example.org")
        note = "n" * 200000  # far past the 64 KiB of vault_cipher_get's buffer
        doc = json.dumps({"id": "big", "notes": note})
        self.assertEqual(self.vault.cipher_save(uid, doc), (0, "big"))
        self.assertEqual(self.vault.cipher_get(uid, "big"), doc)
        for i in range(300):  # past the 256 KiB of the fixed sync buffer
            self.vault.cipher_save(uid, json.dumps({"id": "i%d" % i, "pad": "p" * 1000}))
        sync = json.loads(self.vault.sync_generate_json(uid))
        self.assertEqual(len(sync["ciphers"]), 301)

    def test_threads_without_a_lock(self):
        """Eight threads at once: each gets back its own items, never another
        thread's, and sees its own last error."""
        rc, uid = self.vault.user_create("threads@example.org")
        self.assertEqual(rc, 0)
        wrong = []

        def work(t):
            for i in range(60):
                cid = "t%d-%d" % (t, i % 7)
                doc = json.dumps({"id": cid, "t": t, "i": i, "pad": "x" * (t * 100 + i)})
                if self.vault.cipher_save(uid, doc) != (0, cid):
                    wrong.append("save " + cid)
                if self.vault.cipher_get(uid, cid) != doc:
                    wrong.append("get " + cid)
                if self.vault.cipher_get(uid, "none-%d" % t) is not None:
                    wrong.append("get of a missing item")
                if self.vault.last_error() != "cipher_get: not found":
                    wrong.append("last error " + self.vault.last_error())

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        self.assertEqual(wrong, [])
        sync = json.loads(self.vault.sync_generate_json(uid))
        self.assertEqual(len(sync["ciphers"]), 8 * 7)

    def test_example_runs(self):
        keldrune_vault._example(LIB, os.path.join(self.dir, "example-root"))


if __name__ == "__main__":
    unittest.main()
