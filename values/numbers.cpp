#include <cmath>

#include "values/values.h"

namespace tessaro {

std::int32_t BitAnd(std::initializer_list<std::int32_t> values) {
  std::uint32_t acc = 0xFFFFFFFFu;
  for (std::int32_t v : values) acc &= static_cast<std::uint32_t>(v);
  return values.size() == 0 ? 0 : static_cast<std::int32_t>(acc);
}

double IntegerDivide(double dividend, double divisor) { return std::trunc(dividend / divisor); }

double RoundNumber(double value, std::int32_t places) {
  if (value == 0.0) return 0.0;
  const double sign = value < 0 ? -1.0 : 1.0;
  double v = std::fabs(value);
  // The small nudge keeps values such as 2.675, stored just below the half, rounding up.
  auto roundHalfUp = [](double x) {
    x += 1e-12;
    double whole = 0.0;
    const double fraction = std::modf(x, &whole);
    return fraction >= 0.5 ? whole + 1.0 : whole;
  };
  if (places > 0) {
    const double scale = std::pow(10.0, places);
    v = roundHalfUp(v * scale) / scale;
  } else if (places < 0) {
    const double scale = std::pow(10.0, -places);
    v = roundHalfUp(v / scale) * scale;
  } else {
    v = roundHalfUp(v);
  }
  return sign * v;
}

}  // namespace tessaro
