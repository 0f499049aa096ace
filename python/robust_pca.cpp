// RobustPCA for NumPy: float32 observations in, sparse parts out.
#include <cstdlib>
#include <sstream>

#include "Enhancer.h"
#include "common.h"
#include "nimbusdale/RobustPCA.h"

namespace nimbusdale::python {
namespace {

// The estimator with a count of the updates that hit the pass cap, learnt from each update's
// summary. Every call holds the object's lock, with the GIL released.
struct PyRobustPCA {
  PyRobustPCA(int dim, int rank, const py::object& seed)
      : estimator(checkedDim(dim), checkedRank(rank)) {
    initialize(seed);
  }

  static int checkedDim(int dim) {
    if (dim < 1) throw py::value_error("dim must be at least 1, not " + std::to_string(dim));
    return dim;
  }
  static int checkedRank(int rank) {
    if (rank < 1) throw py::value_error("rank must be at least 1, not " + std::to_string(rank));
    return rank;
  }

  void initialize(const py::object& seed) {
    const bool seeded = !seed.is_none();
    const unsigned value = seeded ? seed.cast<unsigned>() : 0u;
    exclusively(lock, [&] {
      std::lock_guard<std::mutex> draws(app::randomDrawLock());
      if (seeded) std::srand(value);
      estimator.initialize();
    });
  }

  // One observation; the caller holds the lock.
  void updateOne(const float* z) {
    const UpdateSummary summary =
        estimator.update(Eigen::Map<const Eigen::VectorXf>(z, estimator.dim), nullptr);
    if (!summary.converged) ++notConverged;
  }

  py::array update(const py::object& z) {
    auto a = requireArray<float>(z, "z", 1, "(dim,)");
    if (a.shape(0) != estimator.dim)
      throw py::value_error("z has " + std::to_string(a.shape(0)) + " values; dim is " +
                            std::to_string(estimator.dim));
    py::array_t<float> out(estimator.dim);
    float* dst = out.mutable_data();
    exclusively(lock, [&] {
      updateOne(a.data());
      std::copy(estimator.sparse.data(), estimator.sparse.data() + estimator.dim, dst);
    });
    out.attr("flags").attr("writeable") = false;
    return out;
  }

  py::array updateStream(const py::object& zs) {
    auto a = requireArray<float>(zs, "observations", 2, "(count, dim)");
    if (a.shape(1) != estimator.dim)
      throw py::value_error("observations have " + std::to_string(a.shape(1)) +
                            " values each; dim is " + std::to_string(estimator.dim));
    py::array_t<float> out({a.shape(0), a.shape(1)});
    float* dst = out.mutable_data();
    exclusively(lock, [&] {
      for (py::ssize_t n = 0; n < a.shape(0); ++n) {
        updateOne(a.data() + n * estimator.dim);
        std::copy(estimator.sparse.data(), estimator.sparse.data() + estimator.dim,
                  dst + n * estimator.dim);
      }
    });
    return out;
  }

  // Read-only NumPy copies of the estimator's arrays, taken under the lock.
  py::array vector(Eigen::VectorXf RobustPCA::*member) {
    const Eigen::VectorXf v = exclusively(lock, [&] { return Eigen::VectorXf(estimator.*member); });
    py::array_t<float> a(v.size());
    std::copy(v.data(), v.data() + v.size(), a.mutable_data());
    a.attr("flags").attr("writeable") = false;
    return a;
  }
  py::array matrix(Eigen::MatrixXf RobustPCA::*member) {
    const Eigen::MatrixXf m = exclusively(lock, [&] { return Eigen::MatrixXf(estimator.*member); });
    py::array_t<float> a({m.rows(), m.cols()});
    Eigen::Map<Eigen::Matrix<float, -1, -1, Eigen::RowMajor>>(a.mutable_data(), m.rows(),
                                                              m.cols()) = m;
    a.attr("flags").attr("writeable") = false;
    return a;
  }

  float get(float RobustPCA::*member) {
    return exclusively(lock, [&] { return estimator.*member; });
  }
  void set(float RobustPCA::*member, float v, const char* name) {
    if (!(std::isfinite(v) && v >= 0.0f))
      throw py::value_error(std::string(name) + " must be finite and >= 0, not " +
                            std::to_string(v));
    exclusively(lock, [&] { estimator.*member = v; });
  }

  std::string repr() {
    std::ostringstream s;
    exclusively(lock, [&] {
      s << "RobustPCA(dim=" << estimator.dim << ", rank=" << estimator.rank
        << ") [lambda1=" << estimator.lambda1 << ", lambda2=" << estimator.lambda2
        << ", epsilon=" << estimator.epsilon << "]";
    });
    return s.str();
  }

  RobustPCA estimator;
  long notConverged = 0;
  std::mutex lock;
};

}  // namespace

void init_robust_pca(py::module_& m) {
  py::class_<PyRobustPCA>(m, "RobustPCA", R"doc(
Online robust PCA of a stream of float32 vectors of length `dim`.

Each update splits an observation z into a low-rank part (in the span of a learnt basis of
`rank` vectors) and a sparse part, then refines the basis from statistics over every
observation since the last initialize(). lambda1 is the ridge weight of the coefficients,
lambda2 the soft-threshold level of the sparse part (both 0.08 / sqrt(dim) by default),
epsilon the relative tolerance of the inner loop (1e-4).

The random starting point is drawn from the C library's rand(); pass seed to srand() first
for a reproducible start (seeding and drawing hold a process-wide lock, so threads do not
disturb each other's sequence). Each object serialises its own calls; the GIL is released while
it computes, so distinct objects run in parallel on several threads.)doc")
      .def(py::init<int, int, const py::object&>(), py::arg("dim"), py::arg("rank"), py::kw_only(),
           py::arg("seed") = py::none(),
           "Ready to update: the starting point is drawn at once. ValueError for dim or rank "
           "below 1.")
      .def("initialize", &PyRobustPCA::initialize, py::kw_only(), py::arg("seed") = py::none(),
           "Start over: new random basis, coefficients and sparse part; zero statistics.")
      .def("update", &PyRobustPCA::update, py::arg("z"),
           "Update with one float32 observation of shape (dim,); returns its sparse part (a "
           "copy). TypeError for another dtype, ValueError for a wrong length or a non-finite "
           "value (the estimator is then unchanged).")
      .def("update_stream", &PyRobustPCA::updateStream, py::arg("observations"),
           "Update with each row of a float32 (count, dim) array in turn; returns the sparse "
           "parts, (count, dim).")
      .def_property(
          "lambda1", [](PyRobustPCA& p) { return p.get(&RobustPCA::lambda1); },
          [](PyRobustPCA& p, float v) { p.set(&RobustPCA::lambda1, v, "lambda1"); },
          "ridge weight on the coefficients (>= 0)")
      .def_property(
          "lambda2", [](PyRobustPCA& p) { return p.get(&RobustPCA::lambda2); },
          [](PyRobustPCA& p, float v) { p.set(&RobustPCA::lambda2, v, "lambda2"); },
          "soft-threshold level of the sparse part (>= 0)")
      .def_property(
          "epsilon", [](PyRobustPCA& p) { return p.get(&RobustPCA::epsilon); },
          [](PyRobustPCA& p, float v) { p.set(&RobustPCA::epsilon, v, "epsilon"); },
          "relative tolerance of the inner loop (>= 0)")
      .def_property_readonly("dim", [](const PyRobustPCA& p) { return p.estimator.dim; })
      .def_property_readonly("rank", [](const PyRobustPCA& p) { return p.estimator.rank; })
      .def_property_readonly(
          "basis", [](PyRobustPCA& p) { return p.matrix(&RobustPCA::basis); },
          "learnt basis, (dim, rank), read-only copy")
      .def_property_readonly(
          "coef", [](PyRobustPCA& p) { return p.vector(&RobustPCA::coef); },
          "coefficients of the latest observation, (rank,)")
      .def_property_readonly(
          "sparse", [](PyRobustPCA& p) { return p.vector(&RobustPCA::sparse); },
          "sparse part of the latest observation, (dim,)")
      .def_property_readonly(
          "low_rank", [](PyRobustPCA& p) { return p.vector(&RobustPCA::lowRank); },
          "low-rank part of the latest observation, (dim,); empty before the first update")
      .def_property_readonly(
          "stat_a", [](PyRobustPCA& p) { return p.matrix(&RobustPCA::statA); },
          "running sum of coef coef^T, (rank, rank)")
      .def_property_readonly(
          "stat_b", [](PyRobustPCA& p) { return p.matrix(&RobustPCA::statB); },
          "running sum of (z - sparse) coef^T, (dim, rank)")
      .def_property_readonly(
          "passes",
          [](PyRobustPCA& p) {
            return exclusively(p.lock, [&] { return p.estimator.lastPasses(); });
          },
          "inner passes the latest update ran")
      .def_property_readonly(
          "not_converged",
          [](PyRobustPCA& p) { return exclusively(p.lock, [&] { return p.notConverged; }); },
          "updates so far that hit the pass cap")
      .def("__repr__", &PyRobustPCA::repr);
}

}  // namespace nimbusdale::python
