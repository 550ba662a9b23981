"""A short tour of the keldrune_vault package (python/ in this tree).

    PYTHONPATH=python python3 examples/python/vault_tour.py DATA_ROOT [LIBRARY]

DATA_ROOT should be a fresh directory (its parent must exist). LIBRARY is
the shared object to load; without it the package looks at
$KELDRUNE_VAULT_LIB, then at the installed libkeldrune-vault-storage.so.0.
"""

import json
import sys
import threading

from keldrune_vault import AlreadyExistsError, NotFoundError, Vault


def tour(root, library=None):
    with Vault.init(root, library=library) as vault:
        print("library", vault.library_version, "data root", vault.root)
        user_id = vault.user_create("carol@example.org", "hash", 600000, "2.key")
        print("registered carol:", user_id)
        try:
            vault.user_create("CAROL@example.org")
        except AlreadyExistsError as e:
            print("second registration refused:", e)
        print("found:", vault.user_find_by_email("carol@example.org"))

        item_id = vault.cipher_save(user_id, json.dumps({"type": 1, "name": "2.enc"}))
        vault.cipher_delete(user_id, item_id)
        try:
            vault.cipher_get(user_id, item_id)
        except NotFoundError as e:
            print("trashed item is not live:", e)
        vault.cipher_restore_from_trash(user_id, item_id)
        folder_id = vault.folder_save(user_id, json.dumps({"name": "2.enc-folder"}))

        # Several threads at once, no lock of our own.
        def save(n):
            vault.cipher_save(user_id, json.dumps({"id": "thread-%d" % n, "type": 2}))

        threads = [threading.Thread(target=save, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

        sync = json.loads(vault.sync_generate_json(user_id))
        assert sync["folders"][0]["id"] == folder_id and len(sync["ciphers"]) == 5, sync
        print("sync document: %d items, %d folder" % (len(sync["ciphers"]), len(sync["folders"])))
        print("statistics:", vault.storage_get_stats_json())


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    tour(*sys.argv[1:])
