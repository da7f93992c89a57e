#pragma once
// Process-wide worker pool (being written).
