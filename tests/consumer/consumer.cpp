// A steady hum with a burst on top: after a few hundred frames the robust PCA has learnt the hum,
// so the sparse part holds the burst and next to nothing of the hum.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <nimbusdale/RobustPCA.h>
#include <nimbusdale/Version.h>

int main() {
  const int dim = 64;
  std::srand(1);
  nimbusdale::RobustPCA pca(dim, 4);
  pca.initialize();
  pca.lambda2 = 1.0f / std::sqrt(float(dim));
  Eigen::VectorXf z(dim);
  for (int t = 0; t < 400; ++t) {
    for (int k = 0; k < dim; ++k) z[k] = 1.0f + 0.5f * std::sin(0.3f * k) * std::cos(0.01f * t);
    if (t == 399) z[20] += 5.0f;
    pca.update(z, nullptr);
  }
  const float burst = pca.sparse[20];
  const float rest = (pca.sparse.cwiseAbs().sum() - std::fabs(burst)) / (dim - 1);
  std::printf("nimbusdale %s: burst %.3f, rest %.4f\n", NIMBUSDALE_VERSION, burst, rest);
  return burst > 2.0f && rest < 0.05f ? 0 : 1;
}
