// Shared test helpers: host exception capture, parameter sets, a frame source node and the
// plug-in loader.
#ifndef NIMBUSDALE_TEST_SUPPORT_H
#define NIMBUSDALE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <complex>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <flowdesigner/BufferedNode.h>
#include <flowdesigner/Matrix.h>
#include <flowdesigner/Registry.h>
#include <flowdesigner/Toolbox.h>
#include <flowdesigner/net_types.h>

#include "nimbusdale/NodeTypes.h"

namespace nimbusdale_test {

using cfloat = std::complex<float>;
using ComplexFrame = FD::Matrix<cfloat>;
using RealFrame = FD::Matrix<float>;

/// Loads the plug-in under test once per process.
inline void loadPlugin() {
  static const bool loaded = [] {
    FD::Toolbox::load(NIMBUSDALE_PLUGIN_PATH);
    return true;
  }();
  (void)loaded;
}

/// Loads the audio toolbox library under test once per process.
inline void loadAudioPlugin() {
  static const bool loaded = [] {
    FD::Toolbox::load(NIMBUSDALE_AUDIO_PLUGIN_PATH);
    return true;
  }();
  (void)loaded;
}

/// Runs `fn`, which must throw a host exception of type E; returns it, owned.
template <class E, class F>
std::unique_ptr<E> expectHostError(F&& fn) {
  try {
    fn();
  } catch (FD::BaseException* e) {
    std::unique_ptr<FD::BaseException> owned(e);
    E* typed = dynamic_cast<E*>(e);
    if (!typed) {
      ADD_FAILURE() << "wrong host exception type " << FD::demangle(typeid(*e).name()) << ": "
                    << e->message();
      return nullptr;
    }
    owned.release();
    return std::unique_ptr<E>(typed);
  }
  ADD_FAILURE() << "no host exception thrown";
  return nullptr;
}

/// Message of the host exception that `fn` throws, or "" (and a failure) if none.
template <class E = FD::BaseException, class F>
std::string hostErrorMessage(F&& fn) {
  auto e = expectHostError<E>(std::forward<F>(fn));
  return e ? e->message() : std::string();
}

inline FD::ObjectRef intParam(int v) {
  return FD::ObjectRef(FD::Int::alloc(v));
}
inline FD::ObjectRef floatParam(float v) {
  return FD::ObjectRef(FD::Float::alloc(v));
}
inline FD::ObjectRef stringParam(const std::string& v) {
  return FD::ObjectRef(new FD::String(v));
}

inline FD::ParameterSet makeParams(
    std::initializer_list<std::pair<std::string, FD::ObjectRef>> items) {
  FD::ParameterSet params;
  for (const auto& item : items) params.add(item.first, item.second);
  return params;
}

/// The parameters a network document gives a node of `type`: each at its typical value in the
/// table, with `items` over them. Tests name only what they vary, so a new parameter in a table
/// leaves them be.
inline FD::ParameterSet nodeParams(
    const nimbusdale::NodeType& type,
    std::initializer_list<std::pair<std::string, FD::ObjectRef>> items) {
  FD::ParameterSet params;
  for (const nimbusdale::ParameterSpec* p = type.parameters; p != type.parametersEnd(); ++p) {
    if (p->type == nimbusdale::HostType::Int)
      params.add(p->name, intParam(p->typicalInt()));
    else if (p->type == nimbusdale::HostType::Float)
      params.add(p->name, floatParam(p->typicalFloat()));
    else
      params.add(p->name, stringParam(p->typicalString));
  }
  for (const auto& item : items) params.add(item.first, item.second);
  return params;
}

/// A rows x cols complex frame filled row-major from `values` (zero-padded).
inline FD::ObjectRef complexFrame(int rows, int cols, const std::vector<cfloat>& values = {}) {
  auto* m = new ComplexFrame(rows, cols);
  for (size_t i = 0; i < values.size() && i < m->size(); ++i) (*m)[0][i] = values[i];
  return FD::ObjectRef(m);
}

inline FD::ObjectRef realFrame(int rows, int cols, const std::vector<float>& values = {}) {
  auto* m = new RealFrame(rows, cols);
  for (size_t i = 0; i < m->size(); ++i)
    (*m)[0][i] = static_cast<size_t>(i) < values.size() ? values[static_cast<size_t>(i)] : 0.0f;
  return FD::ObjectRef(m);
}

/// Test source node: output OUTPUT gives whatever the generator makes for each count, and
/// counts how often it was asked to compute.
class FrameSource : public FD::BufferedNode {
 public:
  using Generator = std::function<FD::ObjectRef(int)>;
  FrameSource(const std::string& nodeName, Generator gen)
      : FD::BufferedNode(nodeName, FD::ParameterSet()), generate(std::move(gen)) {
    addOutput("OUTPUT");
  }
  void calculate(int, int count, FD::Buffer& out) override {
    ++calls;
    out[count] = generate(count);
  }
  int calls = 0;

 private:
  Generator generate;
};

/// A source that replays a fixed list of frames, frame i at count i.
inline FD::RCPtr<FrameSource> replaySource(const std::string& name,
                                           std::vector<FD::ObjectRef> frames) {
  return FD::RCPtr<FrameSource>(
      new FrameSource(name, [frames](int count) { return frames.at(static_cast<size_t>(count)); }));
}

template <class T>
FD::RCPtr<FD::Matrix<T>> asMatrix(const FD::ObjectRef& ref) {
  return FD::RCPtr<FD::Matrix<T>>(ref);
}

/// |a - b| <= tol, reported with both values.
inline ::testing::AssertionResult nearComplex(cfloat a, cfloat b, float tol) {
  if (std::abs(a - b) <= tol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " differs from " << b << " by more than " << tol;
}

}  // namespace nimbusdale_test

#endif
