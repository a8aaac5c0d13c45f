#pragma once

// The one place that pulls in OpenGL: core-profile declarations up to 4.6,
// with prototypes (GL_GLEXT_PROTOTYPES comes from the build) that glvnd's
// libOpenGL resolves against the current context.
#include <GL/glcorearb.h>
