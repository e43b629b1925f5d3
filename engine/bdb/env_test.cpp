#include <gtest/gtest.h>
#include "qnst_testing.hpp"
static void probe(int recover, int shm, uint32_t cache) {
  qnst_bdb_init();
  qnst::testing::TempDir d;
  qnst_envrec env;
  ASSERT_EQ(0, qnst_env_create(&env, 1));
  int rc = qnst_env_open(&env, d.path().c_str(), nullptr, d.file("e.log").c_str(), 0,0,0,0,0,0,0,cache,0,0,recover,shm);
  printf("recover=%d shm=%d cache=%u rc=%d\n", recover, shm, cache, rc);
  for (auto& l : qnst::testing::read_lines(d.file("e.log"))) printf("   %s\n", l.c_str());
  qnst_env_close(&env);
  if (shm) {DB_ENV* e; db_env_create(&e,0); e->set_shm_key(e, shm); printf("remove %d\n", e->remove(e, d.path().c_str(), DB_FORCE));}
}
TEST(Probe, A) { probe(1,0,1u<<20); }
TEST(Probe, B) { probe(1,0,8u<<20); }
TEST(Probe, C) { probe(1,0,0); }
TEST(Probe, D) { probe(1,4242,1u<<20); }
TEST(Probe, E) { probe(1,4243,0); }
