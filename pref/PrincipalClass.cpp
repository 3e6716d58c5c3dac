// The one symbol the pane's plug-in exports: how a host makes its principal class.
#include "pref/KapshoPref.h"

NS_PRINCIPAL_CLASS(KapshoPref);
