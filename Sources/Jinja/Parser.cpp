#include "Jinja/Parser.hpp"

#include <algorithm>
#include <initializer_list>

#include "Jinja/Error.hpp"
#include "Platform/Foundation/Numbers.hpp"

namespace jinja::Parser {

namespace {

using K = Token::Kind;

bool allowedAsIdentifier(K kind) {
    switch (kind) {
        case K::identifier: case K::if_: case K::for_: case K::in: case K::and_: case K::or_: case K::not_:
        case K::is: case K::else_: case K::set: case K::break_: case K::continue_: return true;
        default: return false;
    }
}

bool primaryExpressionStarter(K kind) {
    switch (kind) {
        case K::string: case K::identifier: case K::number: case K::boolean: case K::openParen:
        case K::openBracket: case K::openBrace: return true;
        default: return false;
    }
}

JinjaError tooDeep() { return JinjaError::parser("Template nesting is too deep"); }

class Impl {
public:
    explicit Impl(const std::vector<Token>& tokens) : tokens_(tokens) {}

    std::vector<Node> parseAll() {
        std::vector<Node> nodes;
        nodes.reserve(std::min<size_t>(tokens_.size() / 3, 1 << 16));
        // Adjacent text is gathered first and becomes one node, so long runs cost linear time.
        std::optional<std::string> text;
        while (current_ < tokens_.size() && cur().kind != K::eof) {
            Node node = parseNode();
            if (auto piece = node.as<Node::Text>()) {
                if (text)
                    *text += piece->value;
                else
                    text = piece->value;
                continue;
            }
            if (text && !text->empty()) nodes.push_back(Node::text(std::move(*text)));
            text.reset();
            nodes.push_back(std::move(node));
        }
        if (text && !text->empty()) nodes.push_back(Node::text(std::move(*text)));
        return nodes;
    }

private:
    // Nesting guard: statements, parenthesised expressions, prefix operators and operator chains.
    class Depth {
    public:
        explicit Depth(int& depth, bool stepNow = true) : depth_(depth), saved_(depth) {
            if (stepNow) step();
        }
        ~Depth() { depth_ = saved_; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
        void step() {
            if (++depth_ > maxNestingDepth) throw tooDeep();
        }

    private:
        int& depth_;
        int saved_;
    };

    const Token& cur() const { return current_ < tokens_.size() ? tokens_[current_] : endToken(); }
    const Token& peek() const { return current_ + 1 < tokens_.size() ? tokens_[current_ + 1] : endToken(); }
    static const Token& endToken() {
        static const Token token(K::eof, "", 0);
        return token;
    }
    Token advance() {
        Token token = cur();
        if (current_ < tokens_.size() && tokens_[current_].kind != K::eof) ++current_;
        return token;
    }
    bool check(K kind) const { return current_ < tokens_.size() && tokens_[current_].kind == kind; }
    Token consume(K kind, const char* message) {
        if (check(kind) && kind != K::eof) return advance();
        throw JinjaError::parser(std::string(message) + ". Got " + std::string(kindName(cur().kind)) + " instead");
    }
    std::string consumeIdentifier() {
        if (allowedAsIdentifier(cur().kind)) return advance().value;
        throw JinjaError::parser("Expected identifier but found " + std::string(kindName(cur().kind)) + ".");
    }
    void close(const char* message) { consume(K::closeStatement, message); }

    // --- Nodes and statements

    Node parseNode() {
        switch (cur().kind) {
            case K::text: return Node::text(advance().value);
            case K::openExpression: {
                advance();
                Expression e = parseTernary();
                consume(K::closeExpression, "Expected '}}' after expression.");
                return Node(std::move(e));
            }
            case K::openStatement: advance(); return Node(parseStatement());
            case K::comment: return Node::comment(advance().value);
            default: throw JinjaError::parser("Unexpected token type: " + std::string(kindName(cur().kind)));
        }
    }

    std::vector<Node> parseNodesUntil(std::initializer_list<K> terminators) {
        std::vector<Node> nodes;
        std::optional<std::string> text;
        while (current_ < tokens_.size() && cur().kind != K::eof) {
            if (cur().kind == K::openStatement) {
                K next = peek().kind;
                bool stop = false;
                for (K t : terminators) stop = stop || t == next;
                if (stop) break;
            }
            Node node = parseNode();
            if (auto piece = node.as<Node::Text>()) {
                if (text)
                    *text += piece->value;
                else
                    text = piece->value;
                continue;
            }
            if (text) nodes.push_back(Node::text(std::move(*text)));
            text.reset();
            nodes.push_back(std::move(node));
        }
        if (text) nodes.push_back(Node::text(std::move(*text)));
        return nodes;
    }

    Statement parseStatement() {
        Depth depth(depth_);
        switch (cur().kind) {
            case K::if_: advance(); return parseIfStatement();
            case K::for_: advance(); return parseForStatement();
            case K::set: advance(); return parseSetStatement();
            case K::macro: advance(); return parseMacroStatement();
            case K::break_:
                advance();
                close("Expected '%}' after break.");
                return Statement(Statement::Break{});
            case K::continue_:
                advance();
                close("Expected '%}' after continue.");
                return Statement(Statement::Continue{});
            case K::call: advance(); return parseCallStatement();
            case K::filter: advance(); return parseFilterStatement();
            case K::generation: advance(); return parseGenerationStatement();
            default: throw JinjaError::parser("Unknown statement: " + cur().value);
        }
    }

    Statement parseIfStatement() {
        Depth depth(depth_);  // an elif chain nests one if per branch
        Expression condition = parseTernary();
        close("Expected '%}' after if condition.");
        std::vector<Node> body = parseNodesUntil({K::elif, K::else_, K::endif});
        if (!check(K::openStatement)) throw JinjaError::parser("Unclosed if statement");
        advance();
        std::vector<Node> alternate;
        if (check(K::elif)) {
            advance();
            alternate.push_back(Node(parseIfStatement()));
        } else if (check(K::else_)) {
            advance();
            close("Expected '%}' after else.");
            alternate = parseNodesUntil({K::endif});
            consume(K::openStatement, "Expected '{%' for endif.");
            consume(K::endif, "Expected 'endif'.");
            close("Expected '%}' after endif.");
        } else {
            consume(K::endif, "Expected 'endif'.");
            close("Expected '%}' after endif.");
        }
        return Statement(Statement::If{std::move(condition), std::move(body), std::move(alternate)});
    }

    Statement parseForStatement() {
        std::vector<std::string> names{consumeIdentifier()};
        while (check(K::comma)) {
            advance();
            names.push_back(consumeIdentifier());
        }
        Statement::LoopVar loopVar = names.size() == 1 ? Statement::LoopVar::single(names[0])
                                                       : Statement::LoopVar::tuple(std::move(names));
        consume(K::in, "Expected 'in' in for loop.");
        Expression iterable = parseFilter();
        std::optional<Expression> test;
        if (check(K::if_)) {
            advance();
            test = parseTernary();
        }
        close("Expected '%}' after for loop.");
        std::vector<Node> body = parseNodesUntil({K::else_, K::endfor});
        if (!check(K::openStatement)) throw JinjaError::parser("Unclosed for loop");
        advance();
        std::vector<Node> elseBody;
        if (check(K::else_)) {
            advance();
            close("Expected '%}' after else.");
            elseBody = parseNodesUntil({K::endfor});
            consume(K::openStatement, "Expected '{%' for endfor.");
        }
        consume(K::endfor, "Expected 'endfor'.");
        close("Expected '%}' after endfor.");
        return Statement(Statement::For{std::move(loopVar), std::move(iterable), std::move(body), std::move(elseBody),
                                        std::move(test)});
    }

    Statement parseSetStatement() {
        Expression target = parseExpressionSequence();
        if (check(K::equals)) {
            advance();
            Expression value = parseExpressionSequence();
            close("Expected '%}' after set statement.");
            return Statement(Statement::Set{std::move(target), std::move(value), {}});
        }
        close("Expected '%}' after set statement.");
        std::vector<Node> body = parseNodesUntil({K::endset});
        consume(K::openStatement, "Expected '{%' for endset.");
        consume(K::endset, "Expected 'endset'.");
        close("Expected '%}' after endset.");
        return Statement(Statement::Set{std::move(target), std::nullopt, std::move(body)});
    }

    Statement parseMacroStatement() {
        std::string name = consumeIdentifier();
        consume(K::openParen, "Expected '(' after macro name.");
        std::vector<std::string> parameters;
        Expression::Entries defaults;
        while (!check(K::closeParen)) {
            std::string parameter = consumeIdentifier();
            parameters.push_back(parameter);
            if (check(K::equals)) {
                advance();
                defaults.set(parameter, parseTernary());
            }
            if (!check(K::comma)) break;
            advance();
        }
        consume(K::closeParen, "Expected ')' after macro parameters.");
        close("Expected '%}' after macro definition.");
        std::vector<Node> body = parseNodesUntil({K::endmacro});
        consume(K::openStatement, "Expected '{%' for endmacro.");
        consume(K::endmacro, "Expected 'endmacro'.");
        close("Expected '%}' after endmacro.");
        return Statement(Statement::Macro{std::move(name), std::move(parameters), std::move(defaults), std::move(body)});
    }

    Statement parseCallStatement() {
        std::optional<std::vector<Expression>> callerArgs;
        if (check(K::openParen)) {
            advance();
            callerArgs = parseArguments().first;
            consume(K::closeParen, "Expected ')' after caller arguments.");
        }
        Expression callable = parseTernary();
        close("Expected '%}' after call statement.");
        std::vector<Node> body = parseNodesUntil({K::endcall});
        consume(K::openStatement, "Expected '{%' for endcall.");
        consume(K::endcall, "Expected 'endcall'.");
        close("Expected '%}' after endcall.");
        return Statement(Statement::Call{std::move(callable), std::move(callerArgs), std::move(body)});
    }

    Statement parseFilterStatement() {
        Expression filterExpr = parseTernary();
        close("Expected '%}' after filter statement.");
        std::vector<Node> body = parseNodesUntil({K::endfilter});
        consume(K::openStatement, "Expected '{%' for endfilter.");
        consume(K::endfilter, "Expected 'endfilter'.");
        close("Expected '%}' after endfilter.");
        return Statement(Statement::Filter{std::move(filterExpr), std::move(body)});
    }

    Statement parseGenerationStatement() {
        close("Expected '%}' after generation statement.");
        std::vector<Node> body = parseNodesUntil({K::endgeneration});
        consume(K::openStatement, "Expected '{%' for endgeneration.");
        consume(K::endgeneration, "Expected 'endgeneration'.");
        close("Expected '%}' after endgeneration.");
        return Statement(Statement::Generation{std::move(body)});
    }

    // --- Expressions

    Expression parseExpressionSequence() {
        Expression first = parseTernary();
        if (!check(K::comma)) return first;
        std::vector<Expression> elements{std::move(first)};
        while (check(K::comma)) {
            advance();
            elements.push_back(parseTernary());
        }
        return Expression(Expression::Tuple{std::move(elements)});
    }

    Expression parseTernary() {
        Depth depth(depth_);
        Expression value = parseOr();
        if (!check(K::if_)) return value;
        advance();
        Expression test = parseOr();
        std::optional<Expression> alternate;
        if (check(K::else_)) {
            advance();
            alternate = parseTernary();
        }
        return Expression(Expression::Ternary{std::move(value), std::move(test), std::move(alternate)});
    }

    Expression binary(Expression::BinaryOp op, Expression left, Expression right) {
        return Expression(Expression::Binary{op, std::move(left), std::move(right)});
    }

    Expression parseOr() {
        Depth chain(depth_, false);
        Expression left = parseAnd();
        while (check(K::or_)) {
            chain.step();
            advance();
            left = binary(Expression::BinaryOp::or_, std::move(left), parseAnd());
        }
        return left;
    }

    Expression parseAnd() {
        Depth chain(depth_, false);
        Expression left = parseNot();
        while (check(K::and_)) {
            chain.step();
            advance();
            left = binary(Expression::BinaryOp::and_, std::move(left), parseNot());
        }
        return left;
    }

    Expression parseNot() {
        if (check(K::not_)) {
            Depth depth(depth_);
            advance();
            return Expression(Expression::Unary{Expression::UnaryOp::not_, parseNot()});
        }
        return parseComparison();
    }

    Expression parseComparison() {
        using Op = Expression::BinaryOp;
        Depth chain(depth_, false);
        Expression left = parseTerm();
        while (true) {
            std::optional<Op> op;
            switch (cur().kind) {
                case K::equal: op = Op::equal; break;
                case K::notEqual: op = Op::notEqual; break;
                case K::less: op = Op::less; break;
                case K::lessEqual: op = Op::lessEqual; break;
                case K::greater: op = Op::greater; break;
                case K::greaterEqual: op = Op::greaterEqual; break;
                case K::in: op = Op::in; break;
                default: break;
            }
            if (op && current_ < tokens_.size()) {
                chain.step();
                advance();
                left = binary(*op, std::move(left), parseTerm());
                continue;
            }
            if (check(K::not_) && peek().kind == K::in) {
                chain.step();
                advance();
                advance();
                left = binary(Op::notIn, std::move(left), parseTerm());
                continue;
            }
            if (check(K::is)) {
                chain.step();
                advance();
                bool negated = false;
                if (check(K::not_)) {
                    advance();
                    negated = true;
                }
                std::string name;
                if (check(K::identifier)) {
                    name = consumeIdentifier();
                } else if (check(K::boolean) || check(K::null)) {
                    name = advance().value;
                } else {
                    throw JinjaError::parser("Expected test name but found " + std::string(kindName(cur().kind)) + ".");
                }
                std::vector<Expression> args;
                switch (cur().kind) {
                    case K::string: case K::number: case K::boolean: case K::null: case K::identifier:
                        if (current_ < tokens_.size()) args.push_back(parseConcat());
                        break;
                    case K::openParen:
                        if (current_ < tokens_.size()) {
                            advance();
                            args = parseArguments().first;
                            consume(K::closeParen, "Expected ')' after test arguments.");
                        }
                        break;
                    default: break;
                }
                left = Expression(Expression::Test{std::move(left), std::move(name), std::move(args), negated});
                continue;
            }
            return left;
        }
    }

    Expression parseTerm() {
        Depth chain(depth_, false);
        Expression left = parseConcat();
        while (check(K::plus) || check(K::minus)) {
            chain.step();
            auto op = advance().kind == K::plus ? Expression::BinaryOp::add : Expression::BinaryOp::subtract;
            left = binary(op, std::move(left), parseConcat());
        }
        return left;
    }

    Expression parseConcat() {
        Depth chain(depth_, false);
        Expression left = parseFilter();
        while (true) {
            if (check(K::concat)) {
                advance();
            } else if (!(current_ < tokens_.size() && cur().kind != K::eof && primaryExpressionStarter(cur().kind))) {
                return left;
            }
            chain.step();
            left = binary(Expression::BinaryOp::concat, std::move(left), parseFilter());
        }
    }

    Expression parseFilter() {
        Depth chain(depth_, false);
        Expression operand = parseFactor();
        while (check(K::pipe)) {
            chain.step();
            advance();
            std::string name = consumeIdentifier();
            std::vector<Expression> args;
            Expression::Keywords kwargs;
            if (check(K::openParen)) {
                advance();
                auto parsed = parseArguments();
                args = std::move(parsed.first);
                kwargs = std::move(parsed.second);
                consume(K::closeParen, "Expected ')' after filter arguments.");
            }
            operand = Expression(Expression::Filter{std::move(operand), std::move(name), std::move(args), std::move(kwargs)});
        }
        return operand;
    }

    Expression parseFactor() {
        using Op = Expression::BinaryOp;
        Depth chain(depth_, false);
        Expression left = parseExponent();
        while (true) {
            Op op;
            switch (cur().kind) {
                case K::multiply: op = Op::multiply; break;
                case K::divide: op = Op::divide; break;
                case K::floorDivide: op = Op::floorDivide; break;
                case K::modulo: op = Op::modulo; break;
                default: return left;
            }
            chain.step();
            advance();
            left = binary(op, std::move(left), parseExponent());
        }
    }

    Expression parseExponent() {
        Depth chain(depth_, false);
        Expression left = parseUnary();
        while (check(K::power)) {
            chain.step();
            advance();
            left = binary(Expression::BinaryOp::power, std::move(left), parseUnary());
        }
        return left;
    }

    Expression parseUnary() {
        if (check(K::plus) || check(K::minus)) {
            Depth depth(depth_);
            auto op = advance().kind == K::plus ? Expression::UnaryOp::plus : Expression::UnaryOp::minus;
            return Expression(Expression::Unary{op, parseUnary()});
        }
        return parseAccess();
    }

    std::optional<Expression> attempt() {
        try {
            return parseTernary();
        } catch (const JinjaError&) {
            return std::nullopt;
        }
    }

    Expression parseAccess() {
        Depth chain(depth_, false);
        Expression value = parsePrimary();
        while (true) {
            if (check(K::openParen)) {
                chain.step();
                advance();
                auto parsed = parseArguments();
                consume(K::closeParen, "Expected ')' after arguments.");
                value = Expression(Expression::Call{std::move(value), std::move(parsed.first), std::move(parsed.second)});
            } else if (check(K::openBracket)) {
                chain.step();
                advance();
                std::optional<Expression> start = attempt();
                if (check(K::colon)) {
                    advance();
                    std::optional<Expression> stop = attempt();
                    std::optional<Expression> step;
                    if (check(K::colon)) {
                        advance();
                        step = parseTernary();
                    }
                    value = Expression(Expression::Slice{std::move(value), std::move(start), std::move(stop), std::move(step)});
                } else {
                    if (!start) throw JinjaError::parser("Invalid subscript");
                    value = Expression(Expression::Member{std::move(value), std::move(*start), true});
                }
                consume(K::closeBracket, "Expected ']' after index.");
            } else if (check(K::dot)) {
                chain.step();
                advance();
                std::string name = consumeIdentifier();
                value = Expression(Expression::Member{std::move(value), Expression(Expression::Identifier{std::move(name)}), false});
            } else {
                return value;
            }
        }
    }

    Expression parsePrimary() {
        const Token& token = cur();
        bool present = current_ < tokens_.size();
        switch (present ? token.kind : K::eof) {
            case K::string: return Expression(Expression::String{advance().value});
            case K::number: {
                std::string text = advance().value;
                if (text.find('.') != std::string::npos)
                    return Expression(Expression::Number{foundation::parseDouble(text).value_or(0.0)});
                return Expression(Expression::Integer{foundation::parseInt64(text).value_or(0)});
            }
            case K::boolean: {
                std::string text = advance().value;
                return Expression(Expression::Boolean{text == "true" || text == "True"});
            }
            case K::null: advance(); return Expression(Expression::Null{});
            case K::identifier: case K::and_: case K::or_: case K::not_: case K::in: case K::is: case K::if_:
            case K::else_: case K::for_: case K::set: case K::break_: case K::continue_:
                return Expression(Expression::Identifier{advance().value});
            case K::openParen: return parseParenthesised();
            case K::openBracket: return parseArrayLiteral();
            case K::openBrace: return parseObjectLiteral();
            case K::multiply: {
                Depth depth(depth_);
                advance();
                return Expression(Expression::Unary{Expression::UnaryOp::splat, parsePrimary()});
            }
            default:
                throw JinjaError::parser("Unexpected token for primary expression: " + std::string(kindName(cur().kind)));
        }
    }

    Expression parseParenthesised() {
        Depth depth(depth_);
        advance();
        if (check(K::closeParen)) {
            advance();
            return Expression(Expression::Tuple{{}});
        }
        Expression first = parseTernary();
        if (!check(K::comma)) {
            consume(K::closeParen, "Expected ')' after expression.");
            return first;
        }
        advance();
        std::vector<Expression> elements{std::move(first)};
        while (!check(K::closeParen)) {
            elements.push_back(parseTernary());
            if (!check(K::comma)) break;
            advance();
        }
        consume(K::closeParen, "Expected ')' after tuple.");
        return Expression(Expression::Tuple{std::move(elements)});
    }

    Expression parseArrayLiteral() {
        Depth depth(depth_);
        advance();
        std::vector<Expression> elements;
        while (!check(K::closeBracket)) {
            elements.push_back(parseTernary());
            if (!check(K::comma)) break;
            advance();
        }
        consume(K::closeBracket, "Expected ']' after array literal.");
        return Expression(Expression::Array{std::move(elements)});
    }

    Expression parseObjectLiteral() {
        Depth depth(depth_);
        advance();
        Expression::Entries entries;
        if (check(K::closeBrace)) {
            advance();
            return Expression(Expression::Object{std::move(entries)});
        }
        while (true) {
            std::string key;
            if (check(K::identifier)) {
                key = consume(K::identifier, "Expected identifier for object key.").value;
            } else if (check(K::string)) {
                key = consume(K::string, "Expected string literal for object key.").value;
            } else {
                throw JinjaError::parser("Expected string literal or identifier for object key. Got " +
                                         std::string(kindName(cur().kind)) + " instead");
            }
            consume(K::colon, "Expected ':' after object key.");
            entries.set(key, parseTernary());
            if (check(K::comma)) {
                advance();
                if (check(K::closeBrace)) break;
                continue;
            }
            break;
        }
        consume(K::closeBrace, "Expected '}' after object literal.");
        return Expression(Expression::Object{std::move(entries)});
    }

    std::pair<std::vector<Expression>, Expression::Keywords> parseArguments() {
        std::vector<Expression> args;
        Expression::Keywords kwargs;
        if (check(K::closeParen)) return {std::move(args), std::move(kwargs)};
        while (true) {
            if (check(K::identifier) && peek().kind == K::equals) {
                std::string name = advance().value;
                advance();
                kwargs.set(name, parseTernary());
            } else {
                args.push_back(parseTernary());
            }
            if (!check(K::comma)) break;
            advance();
        }
        return {std::move(args), std::move(kwargs)};
    }

    const std::vector<Token>& tokens_;
    size_t current_ = 0;
    int depth_ = 0;
};

}  // namespace

std::vector<Node> parse(const std::vector<Token>& tokens) { return Impl(tokens).parseAll(); }

}  // namespace jinja::Parser
