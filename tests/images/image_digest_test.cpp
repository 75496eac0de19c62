// SHA-256 of the image files: the published test vectors, fed in pieces of every awkward size,
// and a file hashed only while it is still the version stamped at Start.
#include "images/channel_image.h"
#include "images/image_digest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "support/images_fixture.h"

namespace {

TEST(ImageDigest, PublishedVectorsWhateverThePieces)
{
    const struct {
        std::string strInput;
        size_t nRepeat;
        const char* szDigest;
    } aCase[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
         "mnopqrstnopqrstu",
         1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : aCase) {
        std::string strAll;
        for (size_t i = 0; i < c.nRepeat; ++i) strAll += c.strInput;
        EXPECT_EQ(IMAGE_DIGEST_Bytes(strAll.data(), strAll.size()), c.szDigest) << c.strInput;
        // Pieces that end on and beside every block and padding boundary.
        for (size_t nPiece : {1u, 55u, 56u, 63u, 64u, 65u, 1000u}) {
            SHA256_STATE state;
            IMAGE_DIGEST_Init(state);
            for (size_t nAt = 0; nAt < strAll.size(); nAt += nPiece)
                IMAGE_DIGEST_Update(state, strAll.data() + nAt, std::min(nPiece, strAll.size() - nAt));
            EXPECT_EQ(IMAGE_DIGEST_Final(state), c.szDigest) << c.strInput << " in pieces of " << nPiece;
        }
    }
}

TEST(ImageDigest, AFileIsHashedOnlyAsTheVersionStamped)
{
    CImagesTempDir dir;
    const std::string strPath = dir.File("pda.pda");
    std::vector<uint8_t> aby(3 * 1024 * 1024 + 17);  // more than one read piece
    for (size_t i = 0; i < aby.size(); ++i) aby[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    ImagesWriteBytes(strPath, aby);
    const std::string strDigest = IMAGE_DIGEST_Bytes(aby.data(), aby.size());
    std::atomic<bool> bStop{false};
    const FILE_STAMP stamp = ENGINE_StampPath(strPath);
    EXPECT_EQ(IMAGE_DIGEST_File(strPath, stamp, bStop), strDigest);

    bStop = true;
    EXPECT_EQ(IMAGE_DIGEST_File(strPath, stamp, bStop), "") << "a stop gives up the digest";
    bStop = false;
    EXPECT_EQ(IMAGE_DIGEST_File(dir.File("missing.pda"), stamp, bStop), "");
    EXPECT_EQ(IMAGE_DIGEST_File(strPath, FILE_STAMP{}, bStop), "") << "no version stamped";

    // Rewritten after Start with the same size: the modification time tells the versions apart.
    aby[0] ^= 0xFF;
    ImagesWriteBytes(strPath, aby);
    const timeval atv[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(strPath.c_str(), atv), 0);
    EXPECT_EQ(IMAGE_DIGEST_File(strPath, stamp, bStop), "");
    EXPECT_EQ(IMAGE_DIGEST_File(strPath, ENGINE_StampPath(strPath), bStop),
              IMAGE_DIGEST_Bytes(aby.data(), aby.size()));
}

}  // namespace
