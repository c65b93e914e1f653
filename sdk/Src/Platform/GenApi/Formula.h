// Formula: parser and evaluator of the GenICam formula language used by SwissKnife,
// IntSwissKnife, Converter, IntConverter and register address knives. A formula is compiled
// once at load time into a flat expression tree; identifiers are bound then to variable slots,
// named constants, named sub-expressions or the built-in functions. Evaluation runs either in
// integer mode (int64 arithmetic, division toward zero, wrap-around) or in double mode, and
// reads variables lazily through a VariableReader, so a ternary reads only the branch it takes.
//
// Operators, lowest precedence first: ?: (right), ||, &&, |, ^, &, = <> (also == !=),
// < > <= >=, << >>, + -, * / %, unary - + ~ !, ** (right, binds tighter than unary minus).
// Literals: decimal, 0x hex, floating point with exponent. Functions: SGN NEG ATAN COS SIN TAN
// ABS EXP LN LG SQRT TRUNC FLOOR CEIL ROUND(x[,digits]) ASIN ACOS, constants PI and E.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace QxGenApi::detail {

// Supplies variable values to an evaluation; the slot is what Formula::addVariable returned.
class VariableReader {
public:
    virtual ~VariableReader() = default;
    virtual int64_t readInt(int slot) = 0;
    virtual double readFloat(int slot) = 0;
};

class Formula {
public:
    enum class Mode { Integer, Float };

    // Declarations, all before compile(). Names are case-sensitive.
    int addVariable(const std::string& name); // answers the slot
    void addConstant(const std::string& name, const std::string& literal);
    void addExpression(const std::string& name, const std::string& text);
    // Parses the main formula and every expression; throws RuntimeException naming the formula
    // and the problem (syntax, unknown identifier, expression cycle, nesting too deep).
    void compile(const std::string& text);

    bool compiled() const { return m_root >= 0; }
    const std::string& text() const { return m_text; }
    size_t variableCount() const { return m_variables.size(); }
    const std::string& variableName(int slot) const { return m_variables[static_cast<size_t>(slot)]; }

    // Evaluation; LogicalErrorException for an integer division or remainder by zero.
    int64_t evalInt(VariableReader& vars) const;
    double evalFloat(VariableReader& vars) const;

    // One-shot evaluation of a formula without variables (tests and tools).
    static int64_t evaluateInt(const std::string& text);
    static double evaluateFloat(const std::string& text);

    // Deepest nesting the parser accepts (parentheses, unary chains, ternaries).
    static constexpr int kMaxDepth = 200;
    // Deepest expression tree accepted (a long chain of binary operators nests too), and the
    // deepest evaluation, counting references to named expressions.
    static constexpr int kMaxTreeDepth = 1000;

    enum class Op : uint8_t {
        Literal,
        Variable,
        ExprRef,
        Neg,
        Plus,
        BitNot,
        LogNot,
        Pow,
        Mul,
        Div,
        Mod,
        Add,
        Sub,
        Shl,
        Shr,
        Lt,
        Gt,
        Le,
        Ge,
        Eq,
        Ne,
        BitAnd,
        BitXor,
        BitOr,
        LogAnd,
        LogOr,
        Ternary,
        Call
    };
    enum class Fn : uint8_t {
        Sgn,
        Neg,
        Atan,
        Cos,
        Sin,
        Tan,
        Abs,
        Exp,
        Ln,
        Lg,
        Sqrt,
        Trunc,
        Floor,
        Ceil,
        Round,
        Asin,
        Acos
    };
    struct Node {
        Op op = Op::Literal;
        Fn fn = Fn::Sgn;
        bool isFloat = false; // literal written with a fraction or exponent
        int a = -1, b = -1, c = -1;
        int depth = 1; // height of the tree below this node
        int64_t i = 0; // literal (integer view), variable slot or expression index
        double d = 0;  // literal (double view)
    };

private:
    struct Expression {
        std::string name;
        std::string text;
        int root = -1;
        int state = 0; // 0 not parsed, 1 parsing, 2 done
    };
    struct Constant {
        std::string name;
        int node = -1;
    };
    friend class FormulaParser;
    template <class T, class Ev>
    friend struct FormulaEval;

    int parseText(const std::string& text, const std::string& what);

    std::string m_text;
    std::vector<std::string> m_variables;
    // Name -> index, first declaration wins (variables before constants before expressions).
    std::unordered_map<std::string, int> m_variableIndex, m_constantIndex, m_expressionIndex;
    std::vector<Constant> m_constants;
    std::vector<Expression> m_expressions;
    std::vector<Node> m_nodes;
    int m_root = -1;
};

} // namespace QxGenApi::detail
