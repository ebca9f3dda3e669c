#pragma once

namespace sonabel {

// Which channel's level an amplitude tap reports: left, right, or half the sum of both.
enum class StereoMode { left, right, center };

} // namespace sonabel
