/* The switch of the fault-injection build: fails the k-th allocation the
   module makes from the moment it is armed, and, when asked, every one
   after it. Loaded by the module and, through ctypes, by the tests: one
   instance, one counter. */
#include <stdatomic.h>

static atomic_llong countdown;   /* 0: disarmed */
static atomic_int failing;       /* set once the k-th allocation failed, in persistent mode */
static atomic_int persistent;
static atomic_llong failures;

void tessellar_faults_arm(long long k, int keep_failing) {
    atomic_store(&failing, 0);
    atomic_store(&failures, 0);
    atomic_store(&persistent, keep_failing);
    atomic_store(&countdown, k);
}

void tessellar_faults_disarm(void) {
    atomic_store(&countdown, 0);
    atomic_store(&failing, 0);
}

long long tessellar_faults_failures(void) { return atomic_load(&failures); }

int tessellar_faults_fail_now(void) {
    if (atomic_load(&failing)) {
        atomic_fetch_add(&failures, 1);
        return 1;
    }
    if (atomic_load(&countdown) <= 0 || atomic_fetch_sub(&countdown, 1) != 1) return 0;
    atomic_fetch_add(&failures, 1);
    if (atomic_load(&persistent)) atomic_store(&failing, 1);
    return 1;
}
