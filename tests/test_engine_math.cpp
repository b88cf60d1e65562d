// Vector and matrix math: normals, rotations, rigid inverses, projection.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/engine.h"

namespace {

constexpr double PI = 3.141592653589793;

Matrix identity()
{
    Matrix m{};
    m.m[0] = m.m[4] = m.m[8] = 1.0f;
    return m;
}

void expect_matrix_near(const Matrix& a, const Matrix& b, float tolerance)
{
    for (int i = 0; i < 12; ++i)
        EXPECT_NEAR(a.m[i], b.m[i], tolerance) << "element " << i;
}

void expect_vector_near(const Vector& a, const Vector& b, float tolerance)
{
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

}  // namespace

TEST(VectorMath, DotNormalAndNormalise)
{
    EXPECT_EQ(dot({ 1, 2, 3 }, { 4, -5, 6 }), 12.0f);
    const Vector n = triangle_normal({ 0, 0, 0 }, { 1, 0, 0 }, { 0, 1, 0 });
    EXPECT_EQ(n.x, 0.0f);
    EXPECT_EQ(n.y, 0.0f);
    EXPECT_EQ(n.z, 1.0f);
    // Unnormalised: the length is twice the triangle's area.
    EXPECT_EQ(triangle_normal({ 1, 1, 1 }, { 3, 1, 1 }, { 1, 4, 1 }).z, 6.0f);

    Vector v = { 3, 4, 0 };
    normalise(v);
    EXPECT_FLOAT_EQ(v.x, 0.6f);
    EXPECT_FLOAT_EQ(v.y, 0.8f);
    EXPECT_EQ(v.z, 0.0f);
}

TEST(VectorMath, ZeroLengthNormalStaysZero)
{
    Vector v = { 0, 0, 0 };
    normalise(v);
    EXPECT_EQ(v.x, 0.0f);
    EXPECT_EQ(v.y, 0.0f);
    EXPECT_EQ(v.z, 0.0f);
    // A degenerate triangle gives the zero vector, which stays finite.
    Vector d = triangle_normal({ 1, 2, 3 }, { 2, 4, 6 }, { 3, 6, 9 });
    normalise(d);
    EXPECT_TRUE(std::isfinite(d.x) && std::isfinite(d.y) && std::isfinite(d.z));
}

TEST(VectorMath, ProductsCarryDoubleIntermediates)
{
    // 4097 * 4097 = 16785409 is not a float: rounded early, the sum would end
    // at 16785408 instead of 16785410.
    EXPECT_EQ(dot({ 4097, 1, 0 }, { 4097, 1, 0 }), 16785410.0f);
    Matrix m = identity();
    m.m[3] = 1.0f;  // y feeds x'
    m.m[9] = 1.0f;
    EXPECT_EQ(transform_point({ 16777216.0f, 1, 0 }, m).x, 16777218.0f);
}

TEST(RotationMatrix, IdentityAnglesKeepPositionWithYNegated)
{
    const Matrix m = rotation_matrix(0, 0, 0, 1, 2, 3);
    Matrix expected = identity();
    expected.m[9] = 1;
    expected.m[10] = -2;
    expected.m[11] = 3;
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(m.m[i], expected.m[i]) << "element " << i;
}

TEST(RotationMatrix, QuarterTurnAboutX)
{
    const Matrix m = rotation_matrix(static_cast<float>(PI / 2), 0, 0, 0, 0, 0);
    expect_vector_near(transform_point({ 0, 1, 0 }, m), { 0, 0, 1 }, 1e-6f);
    expect_vector_near({ m.m[3], m.m[4], m.m[5] }, { 0, 0, 1 }, 1e-6f);
}

TEST(RotationMatrix, EqualsTurnsAboutZThenYThenX)
{
    const float a = 0.3f, b = -1.1f, c = 2.5f;
    Matrix rz = identity(), ry = identity(), rx = identity();
    rz.m[0] = std::cos(c), rz.m[1] = std::sin(c), rz.m[3] = -std::sin(c), rz.m[4] = std::cos(c);
    ry.m[0] = std::cos(b), ry.m[2] = -std::sin(b), ry.m[6] = std::sin(b), ry.m[8] = std::cos(b);
    rx.m[4] = std::cos(a), rx.m[5] = std::sin(a), rx.m[7] = -std::sin(a), rx.m[8] = std::cos(a);
    Matrix zy, zyx;
    matrix_multiply(zy, ry, rz);  // z first, then y
    matrix_multiply(zyx, rx, zy);
    expect_matrix_near(rotation_matrix(a, b, c, 0, 0, 0), zyx, 1e-6f);
}

TEST(MatrixMultiply, AppliesBThenAAndAddsTranslationOnce)
{
    const Matrix a = rotation_matrix(0.4f, 0.2f, -0.7f, 5, 6, 7);
    const Matrix b = rotation_matrix(-1.0f, 0.9f, 0.1f, -2, 3, 1);
    Matrix out;
    matrix_multiply(out, a, b);
    const Vector p = { 1.5f, -2.0f, 0.25f };
    expect_vector_near(transform_point(p, out), transform_point(transform_point(p, b), a), 1e-5f);

    // Row 3 is stored as a float before a's translation is added.
    const double row3 = double(b.m[9]) * a.m[0] + double(b.m[10]) * a.m[3] + double(b.m[11]) * a.m[6];
    EXPECT_EQ(out.m[9], static_cast<float>(double(static_cast<float>(row3)) + a.m[9]));

    // Writing over an input gives the same product.
    Matrix aliased = a;
    matrix_multiply(aliased, aliased, b);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(aliased.m[i], out.m[i]);
}

TEST(MatrixInvertRigid, InverseTimesMatrixIsIdentity)
{
    const float cases[][6] = { { 0, 0, 0, 1, 2, 3 },
                               { 0.5f, -0.25f, 1.75f, -4, 8, 12 },
                               { 3.0f, 2.0f, -1.0f, 100, -50, 0.5f } };
    for (const auto& c : cases) {
        const Matrix m = rotation_matrix(c[0], c[1], c[2], c[3], c[4], c[5]);
        Matrix inverse, product;
        matrix_invert_rigid(inverse, m);
        matrix_multiply(product, inverse, m);
        expect_matrix_near(product, identity(), 2e-5f);
        matrix_multiply(product, m, inverse);
        expect_matrix_near(product, identity(), 2e-5f);
    }
}

TEST(ProjectionScale, NinetyDegrees)
{
    const Matrix p = projection_scale(90.0f);
    EXPECT_FLOAT_EQ(p.m[0], 1.0f);
    EXPECT_FLOAT_EQ(p.m[4], 1.3333333f);
    EXPECT_EQ(p.m[8], 1.0f);
    for (int i : { 1, 2, 3, 5, 6, 7, 9, 10, 11 })
        EXPECT_EQ(p.m[i], 0.0f);
    // The 4/3 factor and the constants are used as given.
    const double k = 1.0 / std::tan(60.0 * 2 * 0.008726646259971648 * 0.5);
    const Matrix q = projection_scale(60.0f);
    EXPECT_EQ(q.m[0], static_cast<float>(k));
    EXPECT_EQ(q.m[4], static_cast<float>(k * 1.3333333333333333));
}
