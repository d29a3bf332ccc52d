#include <tavrik/Interfaces/Future.h>
#include <tavrik/Interfaces/Oid.h>

#include <cstdio>

int main() {
  pledge::Future<int> answer;
  auto text = answer.map([](const int& v) { return arbor::Oid::zero.string().substr(0, 1) + std::to_string(v); });
  answer.resolve(42);
  std::printf("%s\n", text.wait().c_str());
  return text.wait() == "042" ? 0 : 1;
}
