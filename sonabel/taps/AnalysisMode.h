#pragma once

namespace sonabel {

// How an amplitude tap measures a buffer: root mean square, or the largest (signed) sample.
enum class AnalysisMode { rms, peak };

} // namespace sonabel
