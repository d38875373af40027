#pragma once

// Internals of the box-constrained least-squares deconvolution (module Deconvolve): the interior
// reflective Newton method of Coleman and Li ("A reflective Newton method for minimizing a
// quadratic function subject to bounds on some of the variables", SIAM J. Optim. 6, 1996) for
//
//     minimise q(x) = ½·xᵀ·AᵀA·x + cᵀ·x,  c = −Aᵀ·b,  subject to 0 ≤ x ≤ 1,
//
// with A a filter matrix that is only ever used through products. Only the method (Deconvolve.cpp),
// its benchmark and the unit tests include this header; the rest of the system sees the two entry
// points of Deconvolve.h. All vectors are n × 1 dense matrices; D, DM, DG and RPCMTX are n × n
// diagonal.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Matrix.h"
#include "MatrixOps.h"
#include "MethodProgress.h"

namespace velkaro {

class FilterNormalTransform;  // MatrixFilter.h

namespace deconvolve_detail {

// True when the flag is set (a null flag never cancels).
inline bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Figures of the solves run on one thread while a sink is installed (benchmarks, diagnostics).
struct SllsboxStats {
    long solves = 0;
    long iterations = 0;  // outer iterations (the counter `it` at return, summed)
    // Products with AᵀA (one per call of atamult mode 0); atomic so that another thread may
    // watch the solver's progress.
    std::atomic<long> ataProducts{0};
    long ataColumns = 0;    // columns multiplied by AᵀA (a 2-column product counts 2)
    double ataSeconds = 0;  // wall-clock time inside those products
    double seconds = 0;     // wall-clock time inside sllsbox
    // Processor time of the whole process (all threads) inside the products and inside
    // sllsbox: steadier than wall-clock time on a busy machine.
    double ataCpuSeconds = 0;
    double cpuSeconds = 0;
};
// Installs (or, with null, removes) the statistics sink of the calling thread. Every sllsbox
// started on this thread while the sink is installed adds its figures to it (the entry point of
// the method takes no sink, so benchmarks reach the solves through this).
void SetSllsboxStatsSink(SllsboxStats* stats);

// The work matrices of one solve: the helpers take their temporaries from it and give them back
// afterwards, so that a solve does not fault fresh pages in for every product and iteration.
class ScratchPool {
  public:
    std::unique_ptr<Matrix> take(int rows, int columns);  // contents undefined
    void give(std::unique_ptr<Matrix> m);

  private:
    std::vector<std::unique_ptr<Matrix>> mFree;
};

// What one solve shares with the helpers it calls, handed to each of them: its scratch pool, the
// transform of its normal products AᵀA·x (null when the direct products are cheaper; the kernel's
// spectrum is computed once per solve) and the statistics sink (null when no one counts).
class SolverContext {
  public:
    explicit SolverContext(const Matrix& A, SllsboxStats* stats = nullptr);
    ~SolverContext();
    SolverContext(const SolverContext&) = delete;
    SolverContext& operator=(const SolverContext&) = delete;

    ScratchPool& pool() { return mPool; }
    const FilterNormalTransform* normal() const { return mNormal.get(); }
    SllsboxStats* stats() const { return mStats; }

  private:
    ScratchPool mPool;
    std::unique_ptr<FilterNormalTransform> mNormal;
    SllsboxStats* mStats;
};

// Called with the iterate at the top of every outer iteration of sllsbox.
using IterateObserver = std::function<void(const Matrix& x)>;

// How a solve ended.
enum class SolverEnd { Converged, IllConditioned, IterationLimit, Cancelled };
struct SolverReport {
    int iterations = 0;  // the outer iteration counter at the end (it starts at 1)
    SolverEnd end = SolverEnd::Converged;
    double objective = 0;  // q at the returned x (at the last iterate computed when cancelled)
};

// The solver: x = an approximate minimiser of q over the box, started from `start`. Stops on
// convergence, on a direction that does not descend ("Optimization terminated: ..." in the log),
// at maxIterations ("Maximum number of iterations exceeded"), or when the flag is set (with the
// current iterate in x). Every iteration is reported to `progress` (see deconvolve_sllsbox). The
// solve makes its own SolverContext and passes it to the helpers below.
SolverReport sllsbox(Matrix& x, const Matrix& A, const Matrix& b, const Matrix& start, double tol,
                     int maxIterations, const std::atomic<bool>* cancel, int w, int h,
                     const IterateObserver* observer = nullptr,
                     const MethodProgress* progress = nullptr);

// Trust-region step in the two-dimensional subspace of a Newton direction (from pcgr) and the
// scaled gradient. The scaling dv of definev is 1 for every unknown, so it is not passed. The
// flag is polled between conjugate-gradient iterations; a cancelled call leaves s undefined.
void drqpbox(SolverContext& context, Matrix& s, int& posdef, int& pcgit, const Matrix& D,
             const Matrix& grad, double delta, const Matrix& g, double pcgtol, const Matrix& A,
             int kmax, const std::atomic<bool>* cancel = nullptr);

// Preconditioned conjugate gradients on (DM·AᵀA·DM + DG)·p = −g. posdef = 0 when a direction of
// non-positive curvature was met (p is then that direction, normalised).
void pcgr(SolverContext& context, Matrix& p, int& posdef, int& pcgit, const Matrix& DM,
          const Matrix& DG, const Matrix& g, int kmax, double tol, const Matrix& A,
          const Matrix& RPCMTX, const std::atomic<bool>* cancel = nullptr);

// s ≈ argmin gᵀs + ½·sᵀHs subject to norm(s) ≤ delta, for symmetric H of order 1 or 2.
void trust(Matrix& s, const Matrix& g, const Matrix& H, double delta);

// Eigenvectors (columns of V) and eigenvalues (diagonal of the dense D) of X, order 1 or 2.
void eig(Matrix& V, Matrix& D, const Matrix& X);

// The secular function 1/delta − 1/norm(alpha ./ (eigval + λ)) at every λ of lambda (m × 1).
void seceqn(Matrix& value, const Matrix& lambda, const Matrix& eigval, const Matrix& alpha,
            double delta);
double seceqn1(double lambda, const Matrix& eigval, const Matrix& alpha, double delta);

// A zero of seceqn1 to the right of x (Dekker–Brent bracketing and interpolation, Brent 1973).
double rfzero(double x, const Matrix& eigval, const Matrix& alpha, double delta);

// Reflective line search along y + α·s, folded into the box. alpha = 0 with x = ox and
// sigma = osig when no acceptable step exists. x may be ox and sigma osig (the solver passes its
// iterate as both): neither output is written before the step is settled.
void biqpbox(SolverContext& context, Matrix& x, Matrix& sigma, double& alpha, const Matrix& s,
             const Matrix& c, double strg, const Matrix& ox, const Matrix& y, const Matrix& osig,
             double oval, int posdef, double normg, const Matrix& A,
             const std::atomic<bool>* cancel);

// val (1 × 1) = q(x), g = AᵀA·x + c. Returns early, outputs untouched, when cancelled.
void fquad(SolverContext& context, Matrix& val, Matrix& g, const Matrix& x, const Matrix& c,
           const Matrix& A, const std::atomic<bool>* cancel);

// mode 0: y = Aᵀ·(A·x), y may be x itself; mode < 0: y = Aᵀ·x; mode > 0: y = A·x.
void atamult(SolverContext& context, Matrix& y, const Matrix& A, const Matrix& x, int mode);

// Affine scaling of the box: v = x − 1 where g < 0, else x; dv = 1.
void definev(Matrix& v, Matrix& dv, const Matrix& g, const Matrix& x);

// Folds y into 0 … 1 with period 2; sigma = orientation of the folded path (+1 or −1).
void reflect(Matrix& x, Matrix& sigma, const Matrix& y);

// Moves the unknowns that lie within del of a bound by del off it (y follows along sigma).
void perturb(Matrix& x, Matrix& y, const double& del, const Matrix& sigma);

// Diagonal preconditioner: RPCMTX(i) = max(sqrt(DM(i)² + DG(i)), sqrt(eps)).
void aprecon(Matrix& RPCMTX, const Matrix& A, const Matrix& DM, const Matrix& DG);

// w = r ./ RPCMTX².
void preproj(Matrix& w, const Matrix& r, const Matrix& RPCMTX);

// The module's Euclidean and maximum norms of a column are those of the matrix engine (same
// results and checks); the using-declarations keep unqualified calls unambiguous.
using velkaro::norm;
using velkaro::norminf;

}  // namespace deconvolve_detail

}  // namespace velkaro
