#include "common/config_state.h"

namespace corva::station {

ConfigState& configState() {
    static ConfigState state;
    return state;
}

}  // namespace corva::station
