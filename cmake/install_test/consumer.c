/* A user's program: creates an environment in argv[1] (recovery open), opens it for work (the
 * normal, free-threaded open), writes one dfile record in a transaction, reads it back and prints
 * "qnst64 works" when it matches. */
#include <qnst_bdb.h>
#include <qnst_dfile.h>
#include <stdio.h>

static int fail(const char *what, int code) {
    fprintf(stderr, "%s: %d\n", what, code);
    return 1;
}

/* Berkeley DB's messages go to the error file "error.log" in the home. */
static int open_env(qnst_envrec *env, const char *home, int32_t recover) {
    char errfile[4096];
    int rc = qnst_env_create(env, 1);
    if (rc != 0) return fail("qnst_env_create", rc);
    snprintf(errfile, sizeof errfile, "%s/error.log", home);
    rc = qnst_env_open(env, home, NULL, errfile, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, recover, 0);
    if (rc != 0) {
        qnst_env_close(env);
        return fail("qnst_env_open", rc);
    }
    return 0;
}

int main(int argc, char **argv) {
    qnst_envrec env;
    qnst_dfile table;
    DB_TXN *txn = NULL;
    uint32_t ver = 0, over = 0;
    uint64_t coff = 0, ooff = 0, used = 0;
    int rc;

    if (argc != 2) return fail("usage: consumer <environment directory>", 2);
    if ((rc = qnst_bdb_init()) != 0) return fail("qnst_bdb_init", rc);
    if (open_env(&env, argv[1], 1) != 0) return 1;
    qnst_env_close(&env);
    if (open_env(&env, argv[1], 0) != 0) return 1;
    if ((rc = qnst_dfile_create(&table, env.dbenv, 4)) != 0) return fail("qnst_dfile_create", rc);
    if ((rc = qnst_dfile_open(&table, "dfile.db", 1)) != 0) return fail("qnst_dfile_open", rc);
    if ((rc = qnst_txn_begin(env.dbenv, NULL, &txn)) != 0) return fail("qnst_txn_begin", rc);
    if ((rc = qnst_dfile_set(&table, txn, 2, 7, 1, 4096, 0, 512)) != 0)
        return fail("qnst_dfile_set", rc);
    if ((rc = qnst_txn_commit(txn, 0)) != 0) return fail("qnst_txn_commit", rc);
    rc = qnst_dfile_get(&table, NULL, 2, &ver, &over, &coff, &ooff, &used, 0);
    if (rc != 0) return fail("qnst_dfile_get", rc);
    qnst_dfile_close(&table);
    qnst_env_close(&env);
    if (ver != 7 || over != 1 || coff != 4096 || ooff != 0 || used != 512)
        return fail("the record read back differs", 0);
    puts("qnst64 works");
    return 0;
}
