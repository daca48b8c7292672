/* The OpenMP 2.0 runtime API and nothing later: the level of MSVC's /openmp.
   The MinGW compile check puts this header first on the include path with
   _OPENMP set to 200203, so that any unguarded call of a later OpenMP
   function fails to compile. */
#ifndef TOFIMAGE_TEST_OMP2_H
#define TOFIMAGE_TEST_OMP2_H
#ifdef __cplusplus
extern "C" {
#endif
typedef void* omp_lock_t;
typedef void* omp_nest_lock_t;
void omp_set_num_threads(int);
int omp_get_num_threads(void);
int omp_get_max_threads(void);
int omp_get_thread_num(void);
int omp_get_num_procs(void);
int omp_in_parallel(void);
void omp_set_dynamic(int);
int omp_get_dynamic(void);
void omp_set_nested(int);
int omp_get_nested(void);
void omp_init_lock(omp_lock_t*);
void omp_destroy_lock(omp_lock_t*);
void omp_set_lock(omp_lock_t*);
void omp_unset_lock(omp_lock_t*);
int omp_test_lock(omp_lock_t*);
void omp_init_nest_lock(omp_nest_lock_t*);
void omp_destroy_nest_lock(omp_nest_lock_t*);
void omp_set_nest_lock(omp_nest_lock_t*);
void omp_unset_nest_lock(omp_nest_lock_t*);
int omp_test_nest_lock(omp_nest_lock_t*);
double omp_get_wtime(void);
double omp_get_wtick(void);
#ifdef __cplusplus
}
#endif
#endif
