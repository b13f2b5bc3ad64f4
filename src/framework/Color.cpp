#include "varnik/Color.h"

namespace varnik {

const Color Color::transparent(0.f, 0.f, 0.f, 0.f);
const Color Color::black(0.f, 0.f, 0.f, 1.f);
const Color Color::white(1.f, 1.f, 1.f, 1.f);
const Color Color::red(1.f, 0.f, 0.f, 1.f);
const Color Color::green(0.f, 1.f, 0.f, 1.f);
const Color Color::blue(0.f, 0.f, 1.f, 1.f);

} // namespace varnik
