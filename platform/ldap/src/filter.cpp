// Search filter parser (RFC 4515 string form) and evaluator for the embedded store.
#include "filter.h"

#include <cstdlib>

namespace zemir::platform::filter {

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsDnAttribute(const std::string& n) {
  return n == "member" || n == "memberof" || n == "distinguishedname" || n == "entrydn" || n == "uniquemember" ||
         n == "manager";
}

namespace {

int HexVal(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Replaces \XX escapes; false on a malformed escape.
bool Unescape(std::string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int h = HexVal(in[i + 1]), l = HexVal(in[i + 2]);
    if (h < 0 || l < 0) return false;
    out += static_cast<char>(h * 16 + l);
    i += 2;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(const std::string& t) : t_(t) {}
  std::unique_ptr<Node> Filter() {
    if (!Eat('(')) return nullptr;
    std::unique_ptr<Node> n;
    if (pos_ < t_.size() && (t_[pos_] == '&' || t_[pos_] == '|')) {
      n = std::make_unique<Node>();
      n->kind = t_[pos_] == '&' ? Node::And : Node::Or;
      ++pos_;
      while (pos_ < t_.size() && t_[pos_] == '(') {
        auto c = Filter();
        if (!c) return nullptr;
        n->children.push_back(std::move(c));
      }
    } else if (pos_ < t_.size() && t_[pos_] == '!') {
      ++pos_;
      n = std::make_unique<Node>();
      n->kind = Node::Not;
      auto c = Filter();
      if (!c) return nullptr;
      n->children.push_back(std::move(c));
    } else {
      n = Item();
      if (!n) return nullptr;
    }
    if (!Eat(')')) return nullptr;
    return n;
  }
  bool AtEnd() const { return pos_ == t_.size(); }

 private:
  bool Eat(char c) {
    if (pos_ < t_.size() && t_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  std::unique_ptr<Node> Item() {
    size_t start = pos_;
    while (pos_ < t_.size() && t_[pos_] != '=' && t_[pos_] != '<' && t_[pos_] != '>' && t_[pos_] != '~' &&
           t_[pos_] != '(' && t_[pos_] != ')')
      ++pos_;
    if (pos_ >= t_.size() || pos_ == start) return nullptr;
    auto n = std::make_unique<Node>();
    n->attr = Fold(std::string_view(t_).substr(start, pos_ - start));
    for (char c : n->attr)
      if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == ';')) return nullptr;
    char op = t_[pos_];
    if (op == '<' || op == '>' || op == '~') {
      ++pos_;
      if (!Eat('=')) return nullptr;
    } else {
      ++pos_;
    }
    size_t vstart = pos_;
    while (pos_ < t_.size() && t_[pos_] != ')' && t_[pos_] != '(') ++pos_;
    if (pos_ >= t_.size() || t_[pos_] != ')') return nullptr;
    std::string_view raw = std::string_view(t_).substr(vstart, pos_ - vstart);
    if (op == '<' || op == '>' || op == '~') {
      n->kind = op == '<' ? Node::Less : op == '>' ? Node::Greater : Node::Equal;
      std::string v;
      if (!Unescape(raw, v)) return nullptr;
      n->value = Fold(v);
      return n;
    }
    if (raw == "*") {
      n->kind = Node::Present;
      return n;
    }
    if (raw.find('*') == std::string_view::npos) {
      n->kind = Node::Equal;
      std::string v;
      if (!Unescape(raw, v)) return nullptr;
      n->value = Fold(v);
      return n;
    }
    n->kind = Node::Substring;
    std::vector<std::string> parts;
    size_t s = 0;
    while (true) {
      size_t star = raw.find('*', s);
      std::string v;
      if (!Unescape(raw.substr(s, star == std::string_view::npos ? std::string_view::npos : star - s), v))
        return nullptr;
      parts.push_back(Fold(v));
      if (star == std::string_view::npos) break;
      s = star + 1;
    }
    n->initial = parts.front();
    n->final_ = parts.back();
    for (size_t i = 1; i + 1 < parts.size(); ++i)
      if (!parts[i].empty()) n->any.push_back(parts[i]);
    return n;
  }

  const std::string& t_;
  size_t pos_ = 0;
};

bool SubstringMatch(const Node& n, const std::string& v) {
  if (v.size() < n.initial.size() + n.final_.size()) return false;
  if (v.compare(0, n.initial.size(), n.initial) != 0) return false;
  if (v.compare(v.size() - n.final_.size(), n.final_.size(), n.final_) != 0) return false;
  size_t pos = n.initial.size();
  size_t end = v.size() - n.final_.size();
  for (const auto& a : n.any) {
    size_t f = v.find(a, pos);
    if (f == std::string::npos || f + a.size() > end) return false;
    pos = f + a.size();
  }
  return true;
}

bool IsNumber(const std::string& s) {
  if (s.empty() || s.size() > 18) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int Compare(const std::string& a, const std::string& b) {
  if (IsNumber(a) && IsNumber(b)) {
    long long x = atoll(a.c_str()), y = atoll(b.c_str());
    return x < y ? -1 : x > y ? 1 : 0;
  }
  return a.compare(b);
}

}  // namespace

std::unique_ptr<Node> Parse(const std::string& text) {
  if (text.empty()) {
    auto n = std::make_unique<Node>();
    n->kind = Node::Present;
    n->attr = "objectclass";
    return n;
  }
  Parser p(text);
  auto n = p.Filter();
  if (!n || !p.AtEnd()) return nullptr;
  return n;
}

bool Matches(const Node& n, const Entry& e) {
  switch (n.kind) {
    case Node::And:
      for (const auto& c : n.children)
        if (!Matches(*c, e)) return false;
      return true;
    case Node::Or:
      for (const auto& c : n.children)
        if (Matches(*c, e)) return true;
      return false;
    case Node::Not:
      return !Matches(*n.children.front(), e);
    default:
      break;
  }
  if (n.kind == Node::Present && n.attr == "objectclass") return true;
  auto it = e.attrs.find(n.attr);
  if (it == e.attrs.end()) return false;
  if (n.kind == Node::Present) return !it->second.empty();
  bool dn = IsDnAttribute(n.attr);
  std::string want = dn ? NormalizeDn(n.value) : n.value;
  for (const auto& raw : it->second) {
    std::string v = dn ? NormalizeDn(raw) : Fold(raw);
    switch (n.kind) {
      case Node::Equal:
        if (v == want) return true;
        break;
      case Node::Substring:
        if (SubstringMatch(n, v)) return true;
        break;
      case Node::Greater:
        if (Compare(v, want) >= 0) return true;
        break;
      case Node::Less:
        if (Compare(v, want) <= 0) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

bool RequiredEquality(const Node& n, std::string* attr, std::string* value) {
  if (n.kind == Node::Equal && !IsDnAttribute(n.attr) && n.attr != "whencreated" && n.attr != "usncreated") {
    *attr = n.attr;
    *value = n.value;
    return true;
  }
  if (n.kind == Node::And)
    for (const auto& c : n.children)
      if (RequiredEquality(*c, attr, value)) return true;
  return false;
}

}  // namespace zemir::platform::filter
