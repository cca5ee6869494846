// Scalar quantizer: training ranges, byte codes with clamping and rounding,
// reconstruction, distances, and the shared argument and state checks.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "quant/quant_support.h"

namespace {

TEST(ScalarQuantizer, OneTrainingVectorEncodesToZerosAndDecodesBack) {
    QuantizerPtr q = make_quantizer(QUANT_TYPE_SCALAR, 4);
    const float v[4] = {0.1f, -3.5f, 7.25f, 1e-20f};
    ASSERT_EQ(morvadb_quant_train(q.get(), v, 1), 0);
    EXPECT_EQ(q->scalar_trained, 1u);
    uint8_t code[4];
    uint64_t size = 0;
    ASSERT_EQ(morvadb_quant_encode(q.get(), v, code, &size), 0);
    EXPECT_EQ(size, 4u);
    float back[4];
    ASSERT_EQ(morvadb_quant_decode(q.get(), code, 4, back), 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(code[i], 0);
        EXPECT_EQ(q->ranges[i], 1.0f);
        EXPECT_EQ(back[i], v[i]);
    }
}

TEST(ScalarQuantizer, RangesRoundingAndClamping) {
    // Dimension 0 spans 0..1, dimension 1 is constant at 5, dimension 2
    // spans -2..2.
    const float train[] = {0.0f, 5.0f, -2.0f, 1.0f, 5.0f, 2.0f, 0.25f, 5.0f, 0.0f};
    QuantizerPtr q = make_quantizer(QUANT_TYPE_SCALAR, 3);
    ASSERT_EQ(morvadb_quant_train(q.get(), train, 3), 0);
    EXPECT_EQ(q->mins[0], 0.0f);
    EXPECT_EQ(q->ranges[0], 1.0f);
    EXPECT_EQ(q->mins[1], 5.0f);
    EXPECT_EQ(q->ranges[1], 1.0f);  // constant dimension
    EXPECT_EQ(q->mins[2], -2.0f);
    EXPECT_EQ(q->ranges[2], 4.0f);

    struct Case {
        float x[3];
        uint8_t code[3];
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {{0.5f, 5.0f, 0.0f}, {128, 0, 128}},        // t = 0.5 rounds half up
        {{1.0f, 6.0f, 2.0f}, {255, 255, 255}},      // maximum
        {{-0.1f, 4.0f, -9.0f}, {0, 0, 0}},          // below the minimum
        {{7.0f, 99.0f, 2.5f}, {255, 255, 255}},     // above the maximum
        {{0.001f, 5.0019f, -1.99f}, {0, 0, 1}},     // rounding down and up
        {{nan, -INFINITY, INFINITY}, {0, 0, 255}},  // NaN cannot be placed: 0
    };
    for (const Case &c : cases) {
        uint8_t code[3];
        ASSERT_EQ(morvadb_quant_encode(q.get(), c.x, code, nullptr), 0);
        EXPECT_EQ(code[0], c.code[0]) << c.x[0];
        EXPECT_EQ(code[1], c.code[1]) << c.x[1];
        EXPECT_EQ(code[2], c.code[2]) << c.x[2];
    }
}

TEST(ScalarQuantizer, DecodeAndDistanceAgree) {
    QuantizerPtr q = make_quantizer(QUANT_TYPE_SCALAR, 3);
    const float train[] = {0.0f, 10.0f, -4.0f, 2.0f, 13.0f, 4.0f};
    ASSERT_EQ(morvadb_quant_train(q.get(), train, 2), 0);
    const uint8_t zeros[3] = {0, 0, 0}, full[3] = {255, 255, 255}, mid[3] = {51, 0, 255};
    EXPECT_EQ(morvadb_quant_distance(q.get(), mid, 3, mid, 3), 0.0f);
    // All-0 against all-255 is the sum of the squared ranges: 4 + 9 + 64.
    EXPECT_EQ(morvadb_quant_distance(q.get(), zeros, 3, full, 3), 77.0f);

    float decoded[3];
    ASSERT_EQ(morvadb_quant_decode(q.get(), mid, 0, decoded), 0);
    EXPECT_FLOAT_EQ(decoded[0], 0.4f);  // 51 / 255 x 2
    EXPECT_EQ(decoded[1], 10.0f);
    EXPECT_EQ(decoded[2], 4.0f);

    // Random codes: the distance is the squared distance of the decodings,
    // summed in dimension order.
    std::mt19937 rng(5);
    for (int round = 0; round < 50; ++round) {
        uint8_t a[3], b[3];
        for (int i = 0; i < 3; ++i) a[i] = uint8_t(rng()), b[i] = uint8_t(rng());
        float da[3], db[3];
        morvadb_quant_decode(q.get(), a, 3, da);
        morvadb_quant_decode(q.get(), b, 3, db);
        float sum = 0.0f;
        for (int i = 0; i < 3; ++i) sum += (da[i] - db[i]) * (da[i] - db[i]);
        EXPECT_EQ(morvadb_quant_distance(q.get(), a, 3, b, 3), sum);
    }
}

TEST(ScalarQuantizer, RetrainingReplacesParameters) {
    QuantizerPtr q = make_quantizer(QUANT_TYPE_SCALAR, 2);
    const float first[] = {0.0f, 0.0f, 1.0f, 1.0f};
    const float second[] = {10.0f, -10.0f, 30.0f, 10.0f};
    ASSERT_EQ(morvadb_quant_train(q.get(), first, 2), 0);
    ASSERT_EQ(morvadb_quant_train(q.get(), second, 2), 0);
    EXPECT_EQ(q->mins[0], 10.0f);
    EXPECT_EQ(q->ranges[0], 20.0f);
    EXPECT_EQ(q->mins[1], -10.0f);
    EXPECT_EQ(q->ranges[1], 20.0f);
}

TEST(Quantizer, CreationChecks) {
    quantizer *q = nullptr;
    const quant_config zero_dim{QUANT_TYPE_SCALAR, 0, 0};
    const quant_config negative_dim{QUANT_TYPE_SCALAR, -4, 0};
    const quant_config negative_m{QUANT_TYPE_PRODUCT, 8, -2};
    const quant_config product_no_m{QUANT_TYPE_PRODUCT, 8, 0};
    EXPECT_EQ(morvadb_quant_create(&zero_dim, &q), -1);
    EXPECT_EQ(morvadb_quant_create(&negative_dim, &q), -1);
    EXPECT_EQ(morvadb_quant_create(&negative_m, &q), -1);
    EXPECT_EQ(morvadb_quant_create(&product_no_m, &q), -1);
    EXPECT_EQ(morvadb_quant_create(nullptr, &q), -1);
    EXPECT_EQ(morvadb_quant_create(&zero_dim, nullptr), -1);
    EXPECT_EQ(q, nullptr);
    morvadb_quant_destroy(nullptr);

    QuantizerPtr scalar = make_quantizer(QUANT_TYPE_SCALAR, 8, 3);
    ASSERT_TRUE(scalar);
    EXPECT_EQ(scalar->type, QUANT_TYPE_SCALAR);
    EXPECT_EQ(scalar->dimension, 8u);
    EXPECT_EQ(scalar->subquantizers, 3u);
    EXPECT_EQ(scalar->mins, nullptr);
    EXPECT_EQ(scalar->scalar_trained, 0u);
    EXPECT_EQ(morvadb_quant_code_size(scalar.get()), 8u);
    EXPECT_EQ(morvadb_quant_code_size(make_quantizer(QUANT_TYPE_PRODUCT, 8, 4).get()), 4u);
    EXPECT_EQ(morvadb_quant_code_size(nullptr), 0u);
}

TEST(Quantizer, UnknownTypeAcceptedButEveryOperationFails) {
    QuantizerPtr q = make_quantizer(5, 4, 2);
    ASSERT_TRUE(q);
    const float v[4] = {1, 2, 3, 4};
    uint8_t code[4] = {};
    float out[4];
    uint64_t size = 99;
    EXPECT_EQ(morvadb_quant_train(q.get(), v, 1), -1);
    EXPECT_EQ(morvadb_quant_encode(q.get(), v, code, &size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(morvadb_quant_decode(q.get(), code, 4, out), -1);
    EXPECT_EQ(morvadb_quant_distance(q.get(), code, 4, code, 4), FLT_MAX);
    EXPECT_EQ(morvadb_quant_code_size(q.get()), 0u);
}

TEST(Quantizer, UntrainedAndNullArgumentsFail) {
    for (int32_t type : {QUANT_TYPE_SCALAR, QUANT_TYPE_PRODUCT}) {
        QuantizerPtr q = make_quantizer(type, 4, 2);
        const float v[4] = {1, 2, 3, 4};
        uint8_t code[4] = {};
        float out[4] = {7, 7, 7, 7};
        uint64_t size = 0;
        // Encoding before training fails but still reports the code size.
        EXPECT_EQ(morvadb_quant_encode(q.get(), v, code, &size), -1);
        EXPECT_EQ(size, morvadb_quant_code_size(q.get()));
        // Decoding and distances have no parameters to use yet.
        EXPECT_EQ(morvadb_quant_decode(q.get(), code, 4, out), -1);
        EXPECT_EQ(out[0], 7.0f);
        EXPECT_EQ(morvadb_quant_distance(q.get(), code, 4, code, 4), QUANT_DISTANCE_INVALID);

        EXPECT_EQ(morvadb_quant_train(q.get(), nullptr, 1), -1);
        EXPECT_EQ(morvadb_quant_train(q.get(), v, 0), -1);
        EXPECT_EQ(morvadb_quant_train(nullptr, v, 1), -1);
        ASSERT_EQ(morvadb_quant_train(q.get(), v, 1), 0);
        EXPECT_EQ(morvadb_quant_encode(q.get(), nullptr, code, nullptr), -1);
        EXPECT_EQ(morvadb_quant_encode(q.get(), v, nullptr, nullptr), -1);
        EXPECT_EQ(morvadb_quant_encode(nullptr, v, code, &size), -1);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(morvadb_quant_decode(q.get(), nullptr, 4, out), -1);
        EXPECT_EQ(morvadb_quant_decode(q.get(), code, 4, nullptr), -1);
        EXPECT_EQ(morvadb_quant_distance(q.get(), nullptr, 4, code, 4), FLT_MAX);
        EXPECT_EQ(morvadb_quant_distance(q.get(), code, 4, nullptr, 4), FLT_MAX);
        EXPECT_EQ(morvadb_quant_distance(nullptr, code, 4, code, 4), FLT_MAX);
    }
}

}  // namespace
