// The host behaviours the nodes rely on, checked on the stand-in.
#include <sstream>

#include "test_support.h"

namespace {

using namespace nimbusdale_test;

struct Tracked : FD::Object {
  explicit Tracked(int* destroyed) : destroyed(destroyed) {}
  ~Tracked() override { ++*destroyed; }
  int* destroyed;
};
struct DerivedFrame : RealFrame {
  DerivedFrame() : RealFrame(1, 2) {}
};

TEST(CountedObjects, LastReferenceDestroysOnce) {
  int destroyed = 0;
  {
    FD::ObjectRef a(new Tracked(&destroyed));
    FD::ObjectRef b = a;
    EXPECT_EQ(a->getRefCount(), 2);
    a = FD::ObjectRef();
    EXPECT_EQ(destroyed, 0);
    FD::RCPtr<Tracked> typed = b;
    EXPECT_EQ(typed->getRefCount(), 2);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(TypedView, AcceptsExactAndDerivedTypes) {
  FD::ObjectRef exact = realFrame(2, 3);
  FD::RCPtr<RealFrame> view = exact;
  EXPECT_EQ(view.get(), exact.get());

  FD::ObjectRef derived(new DerivedFrame);
  FD::RCPtr<RealFrame> base = derived;
  EXPECT_EQ(base->ncols(), 2);

  FD::RCPtr<RealFrame> nil = FD::ObjectRef();
  EXPECT_TRUE(nil.isNil());
}

TEST(TypedView, UsesConversionTableThenFails) {
  auto e =
      expectHostError<FD::GeneralException>([] { FD::RCPtr<ComplexFrame> bad = realFrame(1, 1); });
  ASSERT_TRUE(e);
  EXPECT_NE(e->message().find("Matrix<float>"), std::string::npos) << e->message();

  FD::Conversion::addConvFunction<RealFrame, ComplexFrame>([](FD::ObjectRef in) {
    FD::RCPtr<RealFrame> r = in;
    auto* c = new ComplexFrame(r->nrows(), r->ncols());
    for (size_t i = 0; i < r->size(); ++i) (*c)[0][i] = (*r)[0][i];
    return FD::ObjectRef(c);
  });
  FD::RCPtr<ComplexFrame> converted = realFrame(1, 2, {1.5f, -2.0f});
  EXPECT_EQ((*converted)(0, 1), cfloat(-2.0f, 0.0f));
  EXPECT_EQ(converted->getRefCount(), 1);
  FD::Conversion::conv_table().clear();
}

TEST(Matrix, RowMajorAndComplexStartsAtZero) {
  ComplexFrame c(2, 3);
  for (size_t i = 0; i < c.size(); ++i) EXPECT_EQ(c[0][i], cfloat(0, 0));
  c(1, 2) = cfloat(7, 1);
  EXPECT_EQ(c[0][1 * 3 + 2], cfloat(7, 1));
  EXPECT_EQ(c[1], c[0] + 3);

  RealFrame empty(0, 5);
  EXPECT_EQ(empty.size(), 0u);
}

TEST(Parameters, GetExistAddAndMissingName) {
  FD::ParameterSet params = makeParams({{"LENGTH", intParam(512)}});
  EXPECT_TRUE(params.exist("LENGTH"));
  EXPECT_FALSE(params.exist("length"));
  EXPECT_EQ(FD::dereference_cast<int>(params.get("LENGTH")), 512);
  params.add("LENGTH", intParam(256));
  EXPECT_EQ(FD::dereference_cast<int>(params.get("LENGTH")), 256);

  std::string msg = hostErrorMessage<FD::GeneralException>([&] { params.get("NUM_CHANNEL"); });
  EXPECT_NE(msg.find("NUM_CHANNEL"), std::string::npos) << msg;
}

TEST(Parameters, DereferenceCastIsExactWithHostMessage) {
  EXPECT_EQ(FD::dereference_cast<float>(floatParam(0.5f)), 0.5f);
  EXPECT_EQ(
      hostErrorMessage<FD::CastException<int>>([] { FD::dereference_cast<int>(floatParam(2.0f)); }),
      "Cast error: Trying to cast ObjectRef (float) into int");
  EXPECT_EQ(
      hostErrorMessage<FD::CastException<float>>([] { FD::dereference_cast<float>(intParam(2)); }),
      "Cast error: Trying to cast ObjectRef (int) into float");
  EXPECT_EQ(hostErrorMessage<FD::CastException<int>>(
                [] { FD::dereference_cast<int>(stringParam("8")); }),
            "Cast error: Trying to cast ObjectRef (string) into int");
  EXPECT_EQ(
      hostErrorMessage<FD::CastException<int>>([] { FD::dereference_cast<int>(realFrame(1, 1)); }),
      "Cast error: Trying to cast ObjectRef (Matrix<float>) into int");
}

TEST(Buffer, KeepsAWindowAndRefusesWhatItCannotHold) {
  FD::Buffer buffer(2);
  buffer[0] = intParam(0);
  buffer[1] = intParam(1);
  buffer[2] = intParam(2);
  EXPECT_FALSE(buffer.isValid(0));
  EXPECT_TRUE(buffer.isValid(1));
  EXPECT_EQ(FD::dereference_cast<int>(buffer.get(2)), 2);
  // Jumping ahead clears the slots the window passes over.
  buffer[5] = intParam(5);
  EXPECT_FALSE(buffer.isValid(4));

  for (int bad : {-1, 3}) {
    auto e = expectHostError<FD::BufferException>([&] { buffer[bad] = intParam(bad); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->message(), "trying to write to non-existing element");
    EXPECT_EQ(e->element(), bad);
  }
}

TEST(BufferedNode, CalculatesOncePerCountAndAnswersRepeatsFromTheBuffer) {
  auto source = FD::RCPtr<FrameSource>(new FrameSource("src", [](int c) { return intParam(c); }));
  EXPECT_EQ(FD::dereference_cast<int>(source->getOutput(0, 3)), 3);
  EXPECT_EQ(FD::dereference_cast<int>(source->getOutput(0, 3)), 3);
  EXPECT_EQ(source->calls, 1);
  source->getOutput(0, 4);
  EXPECT_EQ(source->calls, 2);
  // Count 3 has left the one-frame window: the store is refused.
  auto e = expectHostError<FD::BufferException>([&] { source->getOutput(0, 3); });
  EXPECT_TRUE(e);
  EXPECT_EQ(source->calls, 3);

  FD::ParameterSet req = makeParams({{"LOOKBACK", intParam(2)}});
  source->request(0, req);
  source->initialize();
  source->getOutput(0, 5);
  source->getOutput(0, 4);
  EXPECT_EQ(source->calls, 4);
}

TEST(Node, PortsConnectByNameAndUnconnectedInputsFail) {
  struct Sink : FD::BufferedNode {
    Sink() : FD::BufferedNode("sink", FD::ParameterSet()) {
      EXPECT_EQ(addInput("A"), 0);
      EXPECT_EQ(addInput("B"), 1);
      EXPECT_EQ(addOutput("OUTPUT"), 0);
    }
    void calculate(int, int count, FD::Buffer& out) override { out[count] = getInput(1, count); }
  };
  FD::RCPtr<Sink> sink(new Sink);
  auto source = FD::RCPtr<FrameSource>(new FrameSource("src", [](int c) { return intParam(c); }));

  std::string msg = hostErrorMessage<FD::NodeException>([&] { sink->getOutput(0, 0); });
  EXPECT_NE(msg.find("sink"), std::string::npos);
  EXPECT_NE(msg.find("B"), std::string::npos);

  EXPECT_TRUE(expectHostError<FD::NodeException>(
      [&] { sink->connectToNode("C", source.get(), "OUTPUT"); }));
  EXPECT_TRUE(
      expectHostError<FD::NodeException>([&] { sink->connectToNode("B", source.get(), "OUT"); }));

  sink->connectToNode("B", source.get(), "OUTPUT");
  EXPECT_EQ(sink->getInputs()[1].node, source.get());
  EXPECT_EQ(sink->getInputs()[1].outputID, 0);
  EXPECT_EQ(FD::dereference_cast<int>(sink->getOutput(0, 7)), 7);
}

TEST(Toolbox, LoaderFailureCarriesTheLoaderMessage) {
  std::string msg = hostErrorMessage<FD::GeneralException>(
      [] { FD::Toolbox::load("/nonexistent/libmissing.so"); });
  EXPECT_NE(msg.find("/nonexistent/libmissing.so"), std::string::npos) << msg;
  EXPECT_NE(msg.find("No such file"), std::string::npos) << msg;

  msg = hostErrorMessage<FD::GeneralException>(
      [] { FD::registry::createNode("NoSuchNode", "n", FD::ParameterSet()); });
  EXPECT_NE(msg.find("NoSuchNode"), std::string::npos) << msg;
}

TEST(Exceptions, PrintWritesTheMessage) {
  FD::CastException<float> e("int");
  std::ostringstream out;
  e.print(out);
  EXPECT_EQ(out.str(), "Cast error: Trying to cast ObjectRef (int) into float\n");
}

}  // namespace
