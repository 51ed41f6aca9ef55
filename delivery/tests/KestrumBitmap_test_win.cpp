// The bitmap object: files written and read back, resampled copies, drawing.
#include "delivery/KestrumBitmap_win.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "delivery/tests/Pictures.h"
#include "platform/Handles_win.h"

namespace delivery {
namespace {

using testing::Paint;
using testing::PixelAt;

std::string TempPath(const std::string& name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "kestrum-bitmap-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A bitmap object holding the picture.
TINVBitmap* Holding(Picture& p) {
  TINVBitmap* b = TINVBitmap::Create(p.width, p.height);
  if (b) std::memcpy(b->Pixels().bits, p.bits.data(), p.bits.size());
  return b;
}

struct Ref {
  INVBitmap* p;
  ~Ref() {
    if (p) p->Release();
  }
};

Picture Sample() {
  return Paint(33, 21, [](int x, int y) { return Rgb{static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 12), 99}; });
}

TEST(TINVBitmap, BmpFileSavedAndLoadedBackIsTheSamePicture) {
  Picture p = Sample();
  Ref b{Holding(p)};
  ASSERT_NE(b.p, nullptr);
  EXPECT_EQ(b.p->GetWidth(), 33);
  EXPECT_EQ(b.p->GetHeight(), 21);
  const std::string path = TempPath("saved.bmp");
  ASSERT_TRUE(b.p->SaveBmp(path));
  EXPECT_EQ(ReadAll(path), b.p->AsBmpStr());
  Ref back{LoadBitmapFile(path)};
  ASSERT_NE(back.p, nullptr);
  EXPECT_EQ(back.p->AsBmpStr(), b.p->AsBmpStr());
  DeleteFileA(path.c_str());
}

TEST(TINVBitmap, SavePngWritesTheEncodingAndNothingOnFailure) {
  Picture p = Sample();
  Ref b{Holding(p)};
  const std::string path = TempPath("saved.png");
  ASSERT_TRUE(b.p->SavePng(path, pf256Colors));
  EXPECT_EQ(ReadAll(path), b.p->AsPngStr(pf256Colors));

  // Another holder that shares nothing: the file stays as it was and the answer is false.
  {
    platform::ScopedFileHandle held(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_FALSE(b.p->SavePng(path, pf256Colors));
  }
  EXPECT_EQ(ReadAll(path), b.p->AsPngStr(pf256Colors));
  DeleteFileA(path.c_str());

  const std::string nowhere = TempPath("no-such-folder\\shot.bmp");
  EXPECT_FALSE(b.p->SaveBmp(nowhere));
  EXPECT_FALSE(Exists(nowhere));
}

TEST(TINVBitmap, GreyFormatLeavesThePixelsGrey) {
  Picture p = Sample();
  Ref b{Holding(p)};
  b.p->AsPngStr(pf256Colors);
  auto greyNow = [&] {
    const std::string bmp = b.p->AsBmpStr();
    for (std::size_t i = 54; i + 3 < bmp.size(); i += 4) {
      if (bmp[i] != bmp[i + 1] || bmp[i + 1] != bmp[i + 2]) return false;
    }
    return true;
  };
  EXPECT_FALSE(greyNow());
  b.p->AsPngStr(pf16Grays);
  EXPECT_TRUE(greyNow());
}

TEST(LoadBitmapFile, DamagedOrMissingFilesGiveNothing) {
  const std::string path = TempPath("damaged.bmp");
  Picture p = Sample();
  std::string bmp = BmpFileImage(p.View());
  bmp.resize(bmp.size() - 1);  // one byte of the last row missing
  std::ofstream(path, std::ios::binary) << bmp;
  EXPECT_EQ(LoadBitmapFile(path), nullptr);
  std::ofstream(path, std::ios::binary) << "";
  EXPECT_EQ(LoadBitmapFile(path), nullptr);
  DeleteFileA(path.c_str());
  EXPECT_EQ(LoadBitmapFile(path), nullptr);
}

TEST(TINVBitmap, ZoomFitsTheBoxWithTheProportions) {
  TINVBitmap* big = TINVBitmap::Create(1600, 1200);
  ASSERT_NE(big, nullptr);
  Ref hold{big};
  // Even colour: the copy keeps it.
  PatBlt(big->Canvas(), 0, 0, 1600, 1200, WHITENESS);
  Ref small{big->Zoom(400, 400)};
  ASSERT_NE(small.p, nullptr);
  EXPECT_EQ(small.p->GetWidth(), 400);
  EXPECT_EQ(small.p->GetHeight(), 300);
  const std::string bmp = small.p->AsBmpStr();
  EXPECT_EQ(static_cast<std::uint8_t>(bmp[54 + 4 * 200]), 255);
  EXPECT_EQ(big->Zoom(0, 10), nullptr);
}

TEST(TINVBitmap, DrawCopiesThePicture) {
  Picture p = Sample();
  Ref from{Holding(p)};
  TINVBitmap* to = TINVBitmap::Create(40, 30);
  ASSERT_NE(to, nullptr);
  Ref hold{to};
  ASSERT_TRUE(from.p->Draw(to->Canvas(), 5, 4));
  GdiFlush();
  EXPECT_EQ(PixelAt(to->Pixels(), 5 + 10, 4 + 3), PixelAt(p.View(), 10, 3));
  EXPECT_EQ(PixelAt(to->Pixels(), 0, 0), (Rgb{0, 0, 0}));
}

}  // namespace
}  // namespace delivery
