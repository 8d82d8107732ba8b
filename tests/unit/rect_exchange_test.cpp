// The rectangle exchange picks the 32-bit or the 16-bit members at every call
// and never touches the other form.
#include <gtest/gtest.h>

#include "FakeHost.h"
#include "host/CallContext.h"
#include "host/RectExchange.h"

namespace {

using fakehost::FakeHost;
using fakehost::Options;

bool Same(const VRect& a, const VRect& b) {
  return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
}
bool Same(const Rect& a, const Rect& b) {
  return a.top == b.top && a.left == b.left && a.bottom == b.bottom && a.right == b.right;
}

enum class Mode { NoBigDocument, BigDocumentOff, BigDocumentOn };

TEST(RectExchange, ReadsAndWritesOnlyTheFormInForce) {
  for (const Mode mode : {Mode::NoBigDocument, Mode::BigDocumentOff, Mode::BigDocumentOn}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Options options;
    options.bigDocument = mode != Mode::NoBigDocument;
    options.initial32BitFlag = mode == Mode::BigDocumentOn ? 1 : 0;
    FakeHost host(options);
    FilterRecord& r = *host.record();
    gPluginGlobals.hostRecord = &r;

    const Rect sentinel16{-9, -9, -9, -9};
    const VRect sentinel32{-99, -99, -99, -99};
    r.filterRect = Rect{-5, -32768, 480, 640};  // negative coordinates read negative
    r.outRect = Rect{1, 2, 3, 4};
    r.inRect = r.maskRect = sentinel16;
    if (BigDocumentStruct* big = host.bigDocument()) {
      big->filterRect32 = VRect{10, 40000, 70000, 100000};
      big->outRect32 = VRect{-7, 32768, 65536, 2147483647};
      big->inRect32 = big->maskRect32 = sentinel32;
    }
    const bool wide = mode == Mode::BigDocumentOn;
    EXPECT_TRUE(Same(ReadFilterRect(), wide ? VRect{10, 40000, 70000, 100000} : VRect{-5, -32768, 480, 640}));
    EXPECT_TRUE(Same(ReadOutRect(), wide ? VRect{-7, 32768, 65536, 2147483647} : VRect{1, 2, 3, 4}));

    const VRect request{-1, 40000, 70000, 65537};
    WriteInRect(request);
    WriteOutRect(request);
    WriteMaskRect(request);
    if (wide) {
      const BigDocumentStruct& big = *host.bigDocument();
      EXPECT_TRUE(Same(big.inRect32, request) && Same(big.outRect32, request) && Same(big.maskRect32, request));
      EXPECT_TRUE(Same(ReadOutRect(), request)) << "beyond 16 bits, read back unchanged";
      EXPECT_TRUE(Same(r.inRect, sentinel16) && Same(r.outRect, Rect{1, 2, 3, 4}) && Same(r.maskRect, sentinel16));
    } else {
      // The 16-bit members keep the low 16 bits of each coordinate.
      const Rect narrowed{-1, -25536, 4464, 1};
      EXPECT_TRUE(Same(r.inRect, narrowed) && Same(r.outRect, narrowed) && Same(r.maskRect, narrowed));
      if (const BigDocumentStruct* big = host.bigDocument()) {
        EXPECT_TRUE(Same(big->inRect32, sentinel32) && Same(big->maskRect32, sentinel32));
      }
    }
    EXPECT_TRUE(host.Misuse().empty());
  }
}

}  // namespace
