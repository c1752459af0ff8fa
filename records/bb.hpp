// The detection box: corners in pixels of the source frame.
#pragma once

struct BB {
    float left = 0.0f;
    float right = 0.0f;
    float top = 0.0f;
    float bottom = 0.0f;
};
