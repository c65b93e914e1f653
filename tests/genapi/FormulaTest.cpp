// The formula language against worked values: integer and double modes, precedence, hex
// literals, functions, lazy variables, constants and expressions, and refused formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "GenApi/Exceptions.h"
#include "GenApi/Formula.h"

using QxGenApi::LogicalErrorException;
using QxGenApi::RuntimeException;
using QxGenApi::detail::Formula;

namespace {

int64_t evalInt(const std::string& f) { return Formula::evaluateInt(f); }
double evalFloat(const std::string& f) { return Formula::evaluateFloat(f); }

TEST(Formula, IntegerArithmetic) {
    EXPECT_EQ(evalInt("1+2"), 3);
    EXPECT_EQ(evalInt("7/2"), 3);
    EXPECT_EQ(evalInt("-7/2"), -3); // toward zero
    EXPECT_EQ(evalInt("7/-2"), -3);
    EXPECT_EQ(evalInt("7%3"), 1);
    EXPECT_EQ(evalInt("-7%3"), -1);
    EXPECT_EQ(evalInt("2*3-4"), 2);
    EXPECT_EQ(evalInt("10-2-3"), 5); // left associative
    EXPECT_EQ(evalInt("100/10/5"), 2);
    EXPECT_EQ(evalInt("2**10"), 1024);
    EXPECT_EQ(evalInt("2**-1"), 0);
    EXPECT_EQ(evalInt("(-1)**3"), -1);
    EXPECT_EQ(evalInt("9223372036854775807+1"), std::numeric_limits<int64_t>::min()); // wraps
}

TEST(Formula, Shifts) {
    EXPECT_EQ(evalInt("1<<4"), 16);
    EXPECT_EQ(evalInt("256>>4"), 16);
    EXPECT_EQ(evalInt("-16>>2"), -4);
    EXPECT_EQ(evalInt("1<<64"), 0);
    EXPECT_EQ(evalInt("0x10 >> 2 + 1"), 2); // + binds tighter than >>
    EXPECT_EQ(evalInt("(0x01100007>>16)&0xFF"), 16);
}

TEST(Formula, HexLiterals) {
    EXPECT_EQ(evalInt("0x1F"), 31);
    EXPECT_EQ(evalInt("0XFF"), 255);
    EXPECT_EQ(evalInt("0xabcdef"), 0xabcdef);
    EXPECT_EQ(evalInt("0xFFFFFFFFFFFFFFFF"), -1);
    EXPECT_DOUBLE_EQ(evalFloat("0x10 / 4"), 4.0);
}

TEST(Formula, ComparisonsAndLogic) {
    EXPECT_EQ(evalInt("3<4"), 1);
    EXPECT_EQ(evalInt("3>4"), 0);
    EXPECT_EQ(evalInt("3<=3"), 1);
    EXPECT_EQ(evalInt("3>=4"), 0);
    EXPECT_EQ(evalInt("3=3"), 1);
    EXPECT_EQ(evalInt("3<>3"), 0);
    EXPECT_EQ(evalInt("3==3"), 1);
    EXPECT_EQ(evalInt("3!=4"), 1);
    EXPECT_EQ(evalInt("1+1=2"), 1); // = binds looser than +
    EXPECT_EQ(evalInt("1<2=1"), 1); // relational before equality
    EXPECT_EQ(evalInt("1&&0"), 0);
    EXPECT_EQ(evalInt("1||0"), 1);
    EXPECT_EQ(evalInt("0||0&&1"), 0);
    EXPECT_EQ(evalInt("!0"), 1);
    EXPECT_EQ(evalInt("!5"), 0);
    EXPECT_EQ(evalInt("~0"), -1);
    EXPECT_EQ(evalInt("0xF0|0x0F"), 255);
    EXPECT_EQ(evalInt("0xFF&0x0F"), 15);
    EXPECT_EQ(evalInt("0xFF^0x0F"), 240);
    EXPECT_EQ(evalInt("1|2&3"), 3); // & binds tighter than |
    EXPECT_EQ(evalInt("6^3&1"), 7); // & binds tighter than ^
    EXPECT_EQ(evalInt("4|1^1"), 4); // ^ binds tighter than |
}

TEST(Formula, Ternary) {
    EXPECT_EQ(evalInt("1?2:3"), 2);
    EXPECT_EQ(evalInt("0?2:3"), 3);
    EXPECT_EQ(evalInt("0?1:0?2:3"), 3); // right associative
    EXPECT_EQ(evalInt("1?0?4:5:6"), 5);
    EXPECT_EQ(evalInt("2>1 ? 10 : 20"), 10);
    EXPECT_EQ(evalInt("0 ? 1/0 : 7"), 7); // the branch not taken is not evaluated
}

TEST(Formula, UnaryAndPower) {
    EXPECT_EQ(evalInt("-2**2"), -4);    // ** binds tighter than unary minus
    EXPECT_EQ(evalInt("2**3**2"), 512); // right associative
    EXPECT_EQ(evalInt("--3"), 3);
    EXPECT_EQ(evalInt("-(3+4)*2"), -14);
    EXPECT_DOUBLE_EQ(evalFloat("2**-1"), 0.5);
    EXPECT_DOUBLE_EQ(evalFloat("-2**2"), -4.0);
}

TEST(Formula, DoubleMode) {
    EXPECT_DOUBLE_EQ(evalFloat("7/2"), 3.5);
    EXPECT_DOUBLE_EQ(evalFloat("1000000 / 40000"), 25.0);
    EXPECT_DOUBLE_EQ(evalFloat("7%2"), 1.0);
    EXPECT_DOUBLE_EQ(evalFloat("1.5e3 + .5"), 1500.5);
    EXPECT_DOUBLE_EQ(evalFloat("2.5*2"), 5.0);
    EXPECT_TRUE(std::isinf(evalFloat("1/0")));
    EXPECT_DOUBLE_EQ(evalFloat("3 > 2.5"), 1.0);
    EXPECT_DOUBLE_EQ(evalFloat("0.1 + 0.2 = 0.3"), 0.0); // exact comparison
    EXPECT_DOUBLE_EQ(evalFloat("6.9 | 1"), 7.0);         // bitwise on the integer part
}

TEST(Formula, FunctionsInDoubleMode) {
    const double pi = 3.14159265358979323846;
    EXPECT_DOUBLE_EQ(evalFloat("SQRT(16)"), 4.0);
    EXPECT_DOUBLE_EQ(evalFloat("ABS(-3.5)"), 3.5);
    EXPECT_DOUBLE_EQ(evalFloat("SGN(-2)"), -1.0);
    EXPECT_DOUBLE_EQ(evalFloat("SGN(0)"), 0.0);
    EXPECT_DOUBLE_EQ(evalFloat("SGN(7.5)"), 1.0);
    EXPECT_DOUBLE_EQ(evalFloat("NEG(3)"), -3.0);
    EXPECT_DOUBLE_EQ(evalFloat("TRUNC(-2.7)"), -2.0);
    EXPECT_DOUBLE_EQ(evalFloat("FLOOR(-2.5)"), -3.0);
    EXPECT_DOUBLE_EQ(evalFloat("CEIL(2.1)"), 3.0);
    EXPECT_DOUBLE_EQ(evalFloat("ROUND(2.5)"), 3.0);
    EXPECT_DOUBLE_EQ(evalFloat("ROUND(3.14159, 2)"), 3.14);
    EXPECT_DOUBLE_EQ(evalFloat("EXP(0)"), 1.0);
    EXPECT_DOUBLE_EQ(evalFloat("LN(E)"), 1.0);
    EXPECT_DOUBLE_EQ(evalFloat("LG(1000)"), 3.0);
    EXPECT_DOUBLE_EQ(evalFloat("SIN(0)"), 0.0);
    EXPECT_DOUBLE_EQ(evalFloat("COS(0)"), 1.0);
    EXPECT_DOUBLE_EQ(evalFloat("TAN(0)"), 0.0);
    EXPECT_DOUBLE_EQ(evalFloat("ATAN(1)"), pi / 4);
    EXPECT_DOUBLE_EQ(evalFloat("ASIN(1)"), pi / 2);
    EXPECT_DOUBLE_EQ(evalFloat("ACOS(1)"), 0.0);
    EXPECT_DOUBLE_EQ(evalFloat("PI"), pi);
    EXPECT_DOUBLE_EQ(evalFloat("2*SQRT(ABS(-16))+1"), 9.0);
    // In integer mode a function's result is truncated.
    EXPECT_EQ(evalInt("SQRT(17)"), 4);
    EXPECT_EQ(evalInt("ROUND(7/2)"), 3); // 7/2 is 3 in integer mode
}

TEST(Formula, IntegerDivisionByZeroThrows) {
    EXPECT_THROW(evalInt("1/0"), LogicalErrorException);
    EXPECT_THROW(evalInt("1%0"), LogicalErrorException);
    EXPECT_EQ(evalInt("(-9223372036854775807-1)/-1"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(evalInt("(-9223372036854775807-1)%-1"), 0);
}

TEST(Formula, SyntaxErrorsAreRuntimeExceptions) {
    for (const char* bad : {"", "1+", "(1", "1)", "1 2", "FOO", "SQRT 4", "1 ? 2", "0x", "#", "SIN(1,2)", "3 $ 4"}) {
        EXPECT_THROW(evalInt(bad), RuntimeException) << bad;
    }
}

TEST(Formula, DeepNestingIsRefusedNotACrash) {
    std::string f(5000, '(');
    f += "1";
    f += std::string(5000, ')');
    EXPECT_THROW(evalInt(f), RuntimeException);
    std::string minus(5000, '-');
    EXPECT_THROW(evalInt(minus + "1"), RuntimeException);
    std::string ok(50, '(');
    EXPECT_EQ(evalInt(ok + "1" + std::string(50, ')')), 1);
}

TEST(Formula, LongOperatorChainsAreBounded) {
    std::string ok = "1";
    for (int i = 0; i < 500; ++i) ok += "+1";
    EXPECT_EQ(evalInt(ok), 501);
    std::string tooLong = "1";
    for (int i = 0; i < 100000; ++i) tooLong += "+1";
    EXPECT_THROW(evalInt(tooLong), RuntimeException);
}

TEST(Formula, LongExpressionChainsFailAtEvaluation) {
    Formula f;
    f.addConstant("E0", "0");
    for (int i = 1; i <= 5000; ++i) f.addExpression("E" + std::to_string(i), "E" + std::to_string(i - 1) + "+1");
    f.compile("E5000");
    struct None : QxGenApi::detail::VariableReader {
        int64_t readInt(int) override { return 0; }
        double readFloat(int) override { return 0; }
    } none;
    EXPECT_THROW(f.evalInt(none), LogicalErrorException);
}

struct CountingReader : QxGenApi::detail::VariableReader {
    int64_t values[4] = {0, 0, 0, 0};
    int reads[4] = {0, 0, 0, 0};
    int64_t readInt(int slot) override {
        ++reads[slot];
        return values[slot];
    }
    double readFloat(int slot) override {
        ++reads[slot];
        return static_cast<double>(values[slot]);
    }
};

TEST(Formula, VariablesAreReadLazilyAndOnce) {
    Formula f;
    int sel = f.addVariable("SEL");
    int a = f.addVariable("A");
    int b = f.addVariable("B");
    f.compile("SEL ? A + A : B");
    CountingReader r;
    r.values[sel] = 1;
    r.values[a] = 21;
    r.values[b] = 99;
    EXPECT_EQ(f.evalInt(r), 42);
    EXPECT_EQ(r.reads[a], 1);
    EXPECT_EQ(r.reads[b], 0);
    r.values[sel] = 0;
    EXPECT_DOUBLE_EQ(f.evalFloat(r), 99.0);
}

TEST(Formula, ConstantsAndExpressions) {
    Formula f;
    int w = f.addVariable("W");
    f.addConstant("K", "10");
    f.addConstant("NEGK", "-3");
    f.addExpression("E1", "K*2");
    f.addExpression("E2", "E1 + W");
    f.compile("E2 + NEGK");
    CountingReader r;
    r.values[w] = 5;
    EXPECT_EQ(f.evalInt(r), 22);
}

TEST(Formula, ExpressionCyclesAreRefused) {
    Formula f;
    f.addExpression("A", "B+1");
    f.addExpression("B", "A+1");
    EXPECT_THROW(f.compile("A"), RuntimeException);
}

TEST(Formula, IdentifiersMayContainDots) {
    Formula f;
    int v = f.addVariable("W.Max");
    f.compile("W.Max/2");
    CountingReader r;
    r.values[v] = 2048;
    EXPECT_EQ(f.evalInt(r), 1024);
}

} // namespace
