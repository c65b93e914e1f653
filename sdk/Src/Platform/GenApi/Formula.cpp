#include "GenApi/Formula.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "GenApi/Exceptions.h"

using namespace std::string_view_literals;

namespace QxGenApi::detail {

namespace {

struct Token {
    enum Kind { End, Number, Ident, Oper } kind = End;
    std::string text;
    int64_t i = 0;
    double d = 0;
    bool isFloat = false;
    size_t pos = 0;
};

bool isIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; }

} // namespace

// Recursive-descent parser producing Formula::Node entries.
class FormulaParser {
public:
    FormulaParser(Formula& f, const std::string& text, const std::string& what) : m_f(f), m_text(text), m_what(what) {
        next();
    }

    int parseAll() {
        int root = ternary();
        if (m_tok.kind != Token::End) fail("unexpected '%s'", m_tok.text.c_str());
        return root;
    }

private:
    [[noreturn]] void fail(const char* fmt, const char* arg = "") {
        std::string msg = FormatMessage(fmt, arg);
        QX_GENAPI_THROW(RuntimeException, "%s: %s at offset %zu in formula '%.200s'", m_what.c_str(), msg.c_str(),
                        m_tok.pos, m_text.c_str());
    }

    void next() {
        const std::string& s = m_text;
        while (m_pos < s.size() && std::isspace(static_cast<unsigned char>(s[m_pos]))) ++m_pos;
        m_tok = Token();
        m_tok.pos = m_pos;
        if (m_pos >= s.size()) return;
        char c = s[m_pos];
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            (c == '.' && m_pos + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[m_pos + 1])))) {
            lexNumber();
            return;
        }
        if (isIdentStart(c)) {
            size_t b = m_pos;
            while (m_pos < s.size() && isIdentChar(s[m_pos])) ++m_pos;
            m_tok.kind = Token::Ident;
            m_tok.text = s.substr(b, m_pos - b);
            return;
        }
        static const char* const two[] = {"**", "<<", ">>", "<=", ">=", "<>", "==", "!=", "&&", "||"};
        for (const char* t : two) {
            if (s.compare(m_pos, 2, t) == 0) {
                m_tok.kind = Token::Oper;
                m_tok.text = t;
                m_pos += 2;
                return;
            }
        }
        if (std::strchr("()?:|^&=<>+-*/%~!,", c) && c != '\0') {
            m_tok.kind = Token::Oper;
            m_tok.text = std::string(1, c);
            ++m_pos;
            return;
        }
        m_tok.text = std::string(1, c);
        fail("unexpected character '%s'", m_tok.text.c_str());
    }

    void lexNumber() {
        const std::string& s = m_text;
        size_t b = m_pos;
        m_tok.kind = Token::Number;
        if (s[m_pos] == '0' && m_pos + 1 < s.size() && (s[m_pos + 1] == 'x' || s[m_pos + 1] == 'X')) {
            m_pos += 2;
            uint64_t v = 0;
            size_t digits = 0;
            while (m_pos < s.size() && std::isxdigit(static_cast<unsigned char>(s[m_pos]))) {
                char h = static_cast<char>(std::tolower(static_cast<unsigned char>(s[m_pos])));
                v = (v << 4) | static_cast<uint64_t>(h <= '9' ? h - '0' : h - 'a' + 10);
                ++m_pos;
                ++digits;
            }
            if (digits == 0) fail("bad hexadecimal literal");
            m_tok.i = static_cast<int64_t>(v);
            m_tok.d = static_cast<double>(m_tok.i);
            m_tok.text = s.substr(b, m_pos - b);
            return;
        }
        while (m_pos < s.size() && std::isdigit(static_cast<unsigned char>(s[m_pos]))) ++m_pos;
        bool isFloat = false;
        if (m_pos < s.size() && s[m_pos] == '.') {
            isFloat = true;
            ++m_pos;
            while (m_pos < s.size() && std::isdigit(static_cast<unsigned char>(s[m_pos]))) ++m_pos;
        }
        if (m_pos < s.size() && (s[m_pos] == 'e' || s[m_pos] == 'E')) {
            size_t save = m_pos;
            ++m_pos;
            if (m_pos < s.size() && (s[m_pos] == '+' || s[m_pos] == '-')) ++m_pos;
            if (m_pos < s.size() && std::isdigit(static_cast<unsigned char>(s[m_pos]))) {
                isFloat = true;
                while (m_pos < s.size() && std::isdigit(static_cast<unsigned char>(s[m_pos]))) ++m_pos;
            } else {
                m_pos = save; // an identifier follows, e.g. "2E" is not a number
            }
        }
        m_tok.text = s.substr(b, m_pos - b);
        m_tok.isFloat = isFloat;
        m_tok.d = std::strtod(m_tok.text.c_str(), nullptr);
        if (isFloat) {
            m_tok.i = toInt(m_tok.d);
        } else {
            errno = 0;
            unsigned long long u = std::strtoull(m_tok.text.c_str(), nullptr, 10);
            if (errno == ERANGE) {
                m_tok.i = toInt(m_tok.d);
            } else {
                m_tok.i = static_cast<int64_t>(u);
            }
        }
    }

    static int64_t toInt(double d) {
        if (std::isnan(d)) return 0;
        if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }

    bool isOp(const char* t) const { return m_tok.kind == Token::Oper && m_tok.text == t; }

    int add(Formula::Node n) {
        for (int child : {n.a, n.b, n.c}) {
            if (child >= 0) n.depth = std::max(n.depth, m_f.m_nodes[static_cast<size_t>(child)].depth + 1);
        }
        if (n.depth > Formula::kMaxTreeDepth) fail("too long or nested too deeply");
        m_f.m_nodes.push_back(n);
        return static_cast<int>(m_f.m_nodes.size() - 1);
    }
    int binary(Formula::Op op, int a, int b) {
        Formula::Node n;
        n.op = op;
        n.a = a;
        n.b = b;
        return add(n);
    }

    struct DepthGuard {
        FormulaParser& p;
        explicit DepthGuard(FormulaParser& parser) : p(parser) {
            if (++p.m_depth > Formula::kMaxDepth) p.fail("nested too deeply");
        }
        ~DepthGuard() { --p.m_depth; }
    };

    int ternary() {
        DepthGuard g(*this);
        int cond = logOr();
        if (isOp("?")) {
            next();
            int a = ternary();
            if (!isOp(":")) fail("':' expected");
            next();
            int b = ternary();
            Formula::Node n;
            n.op = Formula::Op::Ternary;
            n.a = cond;
            n.b = a;
            n.c = b;
            return add(n);
        }
        return cond;
    }
    int logOr() {
        int a = logAnd();
        while (isOp("||")) {
            next();
            a = binary(Formula::Op::LogOr, a, logAnd());
        }
        return a;
    }
    int logAnd() {
        int a = bitOr();
        while (isOp("&&")) {
            next();
            a = binary(Formula::Op::LogAnd, a, bitOr());
        }
        return a;
    }
    int bitOr() {
        int a = bitXor();
        while (isOp("|")) {
            next();
            a = binary(Formula::Op::BitOr, a, bitXor());
        }
        return a;
    }
    int bitXor() {
        int a = bitAnd();
        while (isOp("^")) {
            next();
            a = binary(Formula::Op::BitXor, a, bitAnd());
        }
        return a;
    }
    int bitAnd() {
        int a = equality();
        while (isOp("&")) {
            next();
            a = binary(Formula::Op::BitAnd, a, equality());
        }
        return a;
    }
    int equality() {
        int a = relational();
        for (;;) {
            if (isOp("=") || isOp("==")) {
                next();
                a = binary(Formula::Op::Eq, a, relational());
            } else if (isOp("<>") || isOp("!=")) {
                next();
                a = binary(Formula::Op::Ne, a, relational());
            } else return a;
        }
    }
    int relational() {
        int a = shift();
        for (;;) {
            if (isOp("<")) {
                next();
                a = binary(Formula::Op::Lt, a, shift());
            } else if (isOp(">")) {
                next();
                a = binary(Formula::Op::Gt, a, shift());
            } else if (isOp("<=")) {
                next();
                a = binary(Formula::Op::Le, a, shift());
            } else if (isOp(">=")) {
                next();
                a = binary(Formula::Op::Ge, a, shift());
            } else return a;
        }
    }
    int shift() {
        int a = additive();
        for (;;) {
            if (isOp("<<")) {
                next();
                a = binary(Formula::Op::Shl, a, additive());
            } else if (isOp(">>")) {
                next();
                a = binary(Formula::Op::Shr, a, additive());
            } else return a;
        }
    }
    int additive() {
        int a = multiplicative();
        for (;;) {
            if (isOp("+")) {
                next();
                a = binary(Formula::Op::Add, a, multiplicative());
            } else if (isOp("-")) {
                next();
                a = binary(Formula::Op::Sub, a, multiplicative());
            } else return a;
        }
    }
    int multiplicative() {
        int a = unary();
        for (;;) {
            if (isOp("*")) {
                next();
                a = binary(Formula::Op::Mul, a, unary());
            } else if (isOp("/")) {
                next();
                a = binary(Formula::Op::Div, a, unary());
            } else if (isOp("%")) {
                next();
                a = binary(Formula::Op::Mod, a, unary());
            } else return a;
        }
    }
    int unary() {
        DepthGuard g(*this);
        Formula::Op op;
        if (isOp("-")) op = Formula::Op::Neg;
        else if (isOp("+")) op = Formula::Op::Plus;
        else if (isOp("~")) op = Formula::Op::BitNot;
        else if (isOp("!")) op = Formula::Op::LogNot;
        else return power();
        next();
        Formula::Node n;
        n.op = op;
        n.a = unary();
        return add(n);
    }
    int power() {
        int base = primary();
        if (isOp("**")) {
            next();
            int exp = unary(); // right associative, allows 2**-1
            return binary(Formula::Op::Pow, base, exp);
        }
        return base;
    }
    int primary() {
        if (m_tok.kind == Token::Number) {
            Formula::Node n;
            n.op = Formula::Op::Literal;
            n.i = m_tok.i;
            n.d = m_tok.d;
            n.isFloat = m_tok.isFloat;
            next();
            return add(n);
        }
        if (isOp("(")) {
            next();
            int e = ternary();
            if (!isOp(")")) fail("')' expected");
            next();
            return e;
        }
        if (m_tok.kind == Token::Ident) {
            std::string name = m_tok.text;
            next();
            return identifier(name);
        }
        if (m_tok.kind == Token::End) fail("unexpected end");
        fail("unexpected '%s'", m_tok.text.c_str());
    }

    int identifier(const std::string& name) {
        // Declared names first: variables, constants, expressions.
        auto v = m_f.m_variableIndex.find(name);
        if (v != m_f.m_variableIndex.end()) {
            Formula::Node n;
            n.op = Formula::Op::Variable;
            n.i = v->second;
            return add(n);
        }
        auto c = m_f.m_constantIndex.find(name);
        if (c != m_f.m_constantIndex.end()) return m_f.m_constants[static_cast<size_t>(c->second)].node;
        auto e = m_f.m_expressionIndex.find(name);
        if (e != m_f.m_expressionIndex.end()) {
            Formula::Node n;
            n.op = Formula::Op::ExprRef;
            n.i = e->second;
            return add(n);
        }
        if (name == "PI"sv || name == "E"sv) {
            Formula::Node n;
            n.op = Formula::Op::Literal;
            n.isFloat = true;
            n.d = name == "PI"sv ? 3.14159265358979323846 : 2.71828182845904523536;
            n.i = static_cast<int64_t>(n.d);
            return add(n);
        }
        static const struct {
            const char* name;
            Formula::Fn fn;
        } fns[] = {
            {"SGN", Formula::Fn::Sgn},     {"NEG", Formula::Fn::Neg},   {"ATAN", Formula::Fn::Atan},
            {"COS", Formula::Fn::Cos},     {"SIN", Formula::Fn::Sin},   {"TAN", Formula::Fn::Tan},
            {"ABS", Formula::Fn::Abs},     {"EXP", Formula::Fn::Exp},   {"LN", Formula::Fn::Ln},
            {"LG", Formula::Fn::Lg},       {"SQRT", Formula::Fn::Sqrt}, {"TRUNC", Formula::Fn::Trunc},
            {"FLOOR", Formula::Fn::Floor}, {"CEIL", Formula::Fn::Ceil}, {"ROUND", Formula::Fn::Round},
            {"ASIN", Formula::Fn::Asin},   {"ACOS", Formula::Fn::Acos},
        };
        for (const auto& f : fns) {
            if (name == f.name) {
                if (!isOp("(")) fail("'(' expected after function %s", f.name);
                next();
                Formula::Node n;
                n.op = Formula::Op::Call;
                n.fn = f.fn;
                n.a = ternary();
                if (isOp(",")) {
                    if (f.fn != Formula::Fn::Round) fail("function %s takes one argument", f.name);
                    next();
                    n.b = ternary();
                }
                if (!isOp(")")) fail("')' expected");
                next();
                return add(n);
            }
        }
        fail("unknown identifier '%s'", name.c_str());
    }

    Formula& m_f;
    const std::string& m_text;
    std::string m_what;
    size_t m_pos = 0;
    Token m_tok;
    int m_depth = 0;
};

int Formula::addVariable(const std::string& name) {
    m_variables.push_back(name);
    int slot = static_cast<int>(m_variables.size() - 1);
    m_variableIndex.emplace(name, slot);
    return slot;
}

void Formula::addConstant(const std::string& name, const std::string& literal) {
    FormulaParser p(*this, literal, "constant " + name);
    int node = p.parseAll();
    if (m_nodes[static_cast<size_t>(node)].op != Op::Literal) {
        // A constant may be written as a signed literal or a small expression of literals.
        Node lit;
        lit.op = Op::Literal;
        struct NoVars : VariableReader {
            int64_t readInt(int) override { return 0; }
            double readFloat(int) override { return 0; }
        } none;
        int saveRoot = m_root;
        m_root = node;
        lit.d = evalFloat(none);
        lit.i = evalInt(none);
        lit.isFloat = lit.d != static_cast<double>(lit.i);
        m_root = saveRoot;
        m_nodes.push_back(lit);
        node = static_cast<int>(m_nodes.size() - 1);
    }
    m_constantIndex.emplace(name, static_cast<int>(m_constants.size()));
    m_constants.push_back({name, node});
}

void Formula::addExpression(const std::string& name, const std::string& text) {
    Expression e;
    e.name = name;
    e.text = text;
    m_expressionIndex.emplace(name, static_cast<int>(m_expressions.size()));
    m_expressions.push_back(std::move(e));
}

int Formula::parseText(const std::string& text, const std::string& what) {
    FormulaParser p(*this, text, what);
    return p.parseAll();
}

void Formula::compile(const std::string& text) {
    m_text = text;
    for (auto& e : m_expressions) {
        e.root = parseText(e.text, "expression " + e.name);
    }
    m_root = parseText(text, "formula");
    // Expressions may refer to each other but not in a cycle: walk the reference graph.
    std::vector<int> state(m_expressions.size(), 0);
    std::vector<std::pair<size_t, size_t>> stack; // expression, next node index to scan
    auto refsOf = [this](size_t expr) {
        std::vector<size_t> out;
        std::vector<int> todo{m_expressions[expr].root};
        while (!todo.empty()) {
            int n = todo.back();
            todo.pop_back();
            if (n < 0) continue;
            const Node& node = m_nodes[static_cast<size_t>(n)];
            if (node.op == Op::ExprRef) out.push_back(static_cast<size_t>(node.i));
            todo.push_back(node.a);
            todo.push_back(node.b);
            todo.push_back(node.c);
        }
        return out;
    };
    for (size_t s = 0; s < m_expressions.size(); ++s) {
        if (state[s]) continue;
        std::vector<std::pair<size_t, std::vector<size_t>>> dfs;
        dfs.push_back({s, refsOf(s)});
        state[s] = 1;
        while (!dfs.empty()) {
            auto& top = dfs.back();
            if (top.second.empty()) {
                state[top.first] = 2;
                dfs.pop_back();
                continue;
            }
            size_t n = top.second.back();
            top.second.pop_back();
            if (state[n] == 1) {
                QX_GENAPI_THROW(RuntimeException, "formula: expression '%s' refers to itself",
                                m_expressions[n].name.c_str());
            }
            if (state[n] == 0) {
                state[n] = 1;
                dfs.push_back({n, refsOf(n)});
            }
        }
    }
}

namespace {

int64_t doubleToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

int64_t wrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t wrapSub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t wrapMul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

int64_t shiftLeft(int64_t a, int64_t n) {
    if (n < 0) return n <= -64 ? (a < 0 ? -1 : 0) : (a >> -n);
    if (n >= 64) return 0;
    return static_cast<int64_t>(static_cast<uint64_t>(a) << n);
}
int64_t shiftRight(int64_t a, int64_t n) {
    if (n < 0) return shiftLeft(a, -n);
    if (n >= 64) return a < 0 ? -1 : 0;
    return a >> n;
}

int64_t intPow(int64_t base, int64_t exp) {
    if (exp < 0) {
        if (base == 1) return 1;
        if (base == -1) return (exp % 2) ? -1 : 1;
        return 0;
    }
    int64_t result = 1;
    while (exp > 0) {
        if (exp & 1) result = wrapMul(result, base);
        base = wrapMul(base, base);
        exp >>= 1;
    }
    return result;
}

double callFn(Formula::Fn fn, double x, double y, bool hasY) {
    switch (fn) {
    case Formula::Fn::Sgn: return x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
    case Formula::Fn::Neg: return -x;
    case Formula::Fn::Atan: return std::atan(x);
    case Formula::Fn::Cos: return std::cos(x);
    case Formula::Fn::Sin: return std::sin(x);
    case Formula::Fn::Tan: return std::tan(x);
    case Formula::Fn::Abs: return std::fabs(x);
    case Formula::Fn::Exp: return std::exp(x);
    case Formula::Fn::Ln: return std::log(x);
    case Formula::Fn::Lg: return std::log10(x);
    case Formula::Fn::Sqrt: return std::sqrt(x);
    case Formula::Fn::Trunc: return std::trunc(x);
    case Formula::Fn::Floor: return std::floor(x);
    case Formula::Fn::Ceil: return std::ceil(x);
    case Formula::Fn::Round: {
        if (!hasY) return std::round(x);
        double digits = std::trunc(y);
        if (digits > 300) digits = 300;
        if (digits < -300) digits = -300;
        double scale = std::pow(10.0, digits);
        return std::round(x * scale) / scale;
    }
    case Formula::Fn::Asin: return std::asin(x);
    case Formula::Fn::Acos: return std::acos(x);
    }
    return 0;
}

} // namespace

// Evaluation of one formula in one mode; variables are read at most once per evaluation.
template <class T, class Ev>
struct FormulaEval {
    const Formula& f;
    VariableReader& vars;
    std::vector<T> cache;
    std::vector<char> have;

    FormulaEval(const Formula& formula, VariableReader& reader)
        : f(formula), vars(reader), cache(formula.m_variables.size()), have(formula.m_variables.size(), 0) {}

    T var(int slot) {
        size_t s = static_cast<size_t>(slot);
        if (!have[s]) {
            cache[s] = Ev::read(vars, slot);
            have[s] = 1;
        }
        return cache[s];
    }

    int depth = 0;
    struct DepthGuard {
        int& d;
        explicit DepthGuard(int& depthRef) : d(depthRef) {
            if (++d > Formula::kMaxTreeDepth) {
                --d;
                QX_GENAPI_THROW(LogicalErrorException, "formula: evaluation nested too deeply");
            }
        }
        ~DepthGuard() { --d; }
    };

    T eval(int idx) {
        DepthGuard guard(depth);
        const Formula::Node& n = f.m_nodes[static_cast<size_t>(idx)];
        switch (n.op) {
        case Formula::Op::Literal: return Ev::literal(n);
        case Formula::Op::Variable: return var(static_cast<int>(n.i));
        case Formula::Op::ExprRef: return eval(f.m_expressions[static_cast<size_t>(n.i)].root);
        case Formula::Op::Ternary: return Ev::truth(eval(n.a)) ? eval(n.b) : eval(n.c);
        case Formula::Op::LogAnd: return (Ev::truth(eval(n.a)) && Ev::truth(eval(n.b))) ? T(1) : T(0);
        case Formula::Op::LogOr: return (Ev::truth(eval(n.a)) || Ev::truth(eval(n.b))) ? T(1) : T(0);
        case Formula::Op::LogNot: return Ev::truth(eval(n.a)) ? T(0) : T(1);
        case Formula::Op::Call: {
            double x = static_cast<double>(eval(n.a));
            double y = n.b >= 0 ? static_cast<double>(eval(n.b)) : 0.0;
            return Ev::fromDouble(callFn(n.fn, x, y, n.b >= 0));
        }
        case Formula::Op::Neg:
        case Formula::Op::Plus:
        case Formula::Op::BitNot: return Ev::unary(n.op, eval(n.a));
        default: return Ev::binary(n.op, eval(n.a), eval(n.b));
        }
    }
};

struct IntEv {
    static int64_t read(VariableReader& v, int slot) { return v.readInt(slot); }
    static int64_t literal(const Formula::Node& n) { return n.i; }
    static bool truth(int64_t v) { return v != 0; }
    static int64_t fromDouble(double d) { return doubleToInt(d); }
    static int64_t unary(Formula::Op op, int64_t a) {
        switch (op) {
        case Formula::Op::Neg: return wrapSub(0, a);
        case Formula::Op::BitNot: return ~a;
        default: return a;
        }
    }
    static int64_t binary(Formula::Op op, int64_t a, int64_t b) {
        switch (op) {
        case Formula::Op::Pow: return intPow(a, b);
        case Formula::Op::Mul: return wrapMul(a, b);
        case Formula::Op::Div:
            if (b == 0) QX_GENAPI_THROW(LogicalErrorException, "formula: integer division by zero");
            if (a == std::numeric_limits<int64_t>::min() && b == -1) return a;
            return a / b;
        case Formula::Op::Mod:
            if (b == 0) QX_GENAPI_THROW(LogicalErrorException, "formula: integer remainder by zero");
            if (b == -1) return 0;
            return a % b;
        case Formula::Op::Add: return wrapAdd(a, b);
        case Formula::Op::Sub: return wrapSub(a, b);
        case Formula::Op::Shl: return shiftLeft(a, b);
        case Formula::Op::Shr: return shiftRight(a, b);
        case Formula::Op::Lt: return a < b;
        case Formula::Op::Gt: return a > b;
        case Formula::Op::Le: return a <= b;
        case Formula::Op::Ge: return a >= b;
        case Formula::Op::Eq: return a == b;
        case Formula::Op::Ne: return a != b;
        case Formula::Op::BitAnd: return a & b;
        case Formula::Op::BitXor: return a ^ b;
        case Formula::Op::BitOr: return a | b;
        default: return 0;
        }
    }
};

struct FloatEv {
    static double read(VariableReader& v, int slot) { return v.readFloat(slot); }
    static double literal(const Formula::Node& n) { return n.d; }
    static bool truth(double v) { return v != 0.0; }
    static double fromDouble(double d) { return d; }
    static double unary(Formula::Op op, double a) {
        switch (op) {
        case Formula::Op::Neg: return -a;
        case Formula::Op::BitNot: return static_cast<double>(~doubleToInt(a));
        default: return a;
        }
    }
    static double binary(Formula::Op op, double a, double b) {
        switch (op) {
        case Formula::Op::Pow: return std::pow(a, b);
        case Formula::Op::Mul: return a * b;
        case Formula::Op::Div: return a / b;
        case Formula::Op::Mod: return std::fmod(a, b);
        case Formula::Op::Add: return a + b;
        case Formula::Op::Sub: return a - b;
        case Formula::Op::Shl: return static_cast<double>(shiftLeft(doubleToInt(a), doubleToInt(b)));
        case Formula::Op::Shr: return static_cast<double>(shiftRight(doubleToInt(a), doubleToInt(b)));
        case Formula::Op::Lt: return a < b;
        case Formula::Op::Gt: return a > b;
        case Formula::Op::Le: return a <= b;
        case Formula::Op::Ge: return a >= b;
        case Formula::Op::Eq: return a == b;
        case Formula::Op::Ne: return a != b;
        case Formula::Op::BitAnd: return static_cast<double>(doubleToInt(a) & doubleToInt(b));
        case Formula::Op::BitXor: return static_cast<double>(doubleToInt(a) ^ doubleToInt(b));
        case Formula::Op::BitOr: return static_cast<double>(doubleToInt(a) | doubleToInt(b));
        default: return 0;
        }
    }
};

int64_t Formula::evalInt(VariableReader& vars) const {
    if (m_root < 0) QX_GENAPI_THROW(LogicalErrorException, "formula not compiled");
    FormulaEval<int64_t, IntEv> ev(*this, vars);
    return ev.eval(m_root);
}

double Formula::evalFloat(VariableReader& vars) const {
    if (m_root < 0) QX_GENAPI_THROW(LogicalErrorException, "formula not compiled");
    FormulaEval<double, FloatEv> ev(*this, vars);
    return ev.eval(m_root);
}

namespace {
struct NoVariables : VariableReader {
    int64_t readInt(int) override { return 0; }
    double readFloat(int) override { return 0; }
};
} // namespace

int64_t Formula::evaluateInt(const std::string& text) {
    Formula f;
    f.compile(text);
    NoVariables none;
    return f.evalInt(none);
}

double Formula::evaluateFloat(const std::string& text) {
    Formula f;
    f.compile(text);
    NoVariables none;
    return f.evalFloat(none);
}

} // namespace QxGenApi::detail
