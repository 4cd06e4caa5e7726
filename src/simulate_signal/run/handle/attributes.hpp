// The handle's attributes and the parameters that fill them, one row each:
// the one place they are written. The handle's typed fields, the parameters
// of SimulationHandle.__init__, those of simulate_signal/simulate_strategy
// and their published signature all come from this table.
#pragma once

#include "frame/frame.hpp"

#include <cstddef>

namespace simsig {

enum class Default : unsigned char { required, none, true_, false_ };
// How the published signature shows an entry-point parameter.
enum class Published : unsigned char { hidden, positional, keyword, keyword_required };

struct HandleAttribute {
    const char *attribute = nullptr;  // "_graph"; the parameter is the name without "_"
    bool is_field = true;             // false: an entry-point parameter only
    bool init_parameter = false;      // a parameter of SimulationHandle.__init__
    Default init_default = Default::required;
    int entry_place = -1;             // place among the entry points' parameters, or -1
    bool entry_keyword_only = false;
    Default entry_default = Default::required;
    Published published = Published::hidden;
    bool pool_parameter = false;      // named signal_pool_id / strategy_pool_id at the entry points

    constexpr const char *parameter() const { return attribute + 1; }
    constexpr HandleAttribute init(Default d = Default::required) const {
        HandleAttribute r = *this;
        r.init_parameter = true;
        r.init_default = d;
        return r;
    }
    constexpr HandleAttribute entry(int place, bool keyword_only, Default d, Published p) const {
        HandleAttribute r = *this;
        r.entry_place = place;
        r.entry_keyword_only = keyword_only;
        r.entry_default = d;
        r.published = p;
        return r;
    }
    constexpr HandleAttribute pool() const {
        HandleAttribute r = *this;
        r.pool_parameter = true;
        return r;
    }
    constexpr HandleAttribute not_a_field() const {
        HandleAttribute r = *this;
        r.is_field = false;
        return r;
    }
};

constexpr HandleAttribute attribute(const char *name) { return HandleAttribute{name}; }
constexpr bool positional = false, keyword = true;

// Fields in the order the constructor creates them (the order of the
// instance __dict__), then the entry-point parameters that are no field.
#define SIMSIG_HANDLE_ATTRIBUTES(X)                                                              \
    X(graph, attribute("_graph").init().entry(0, positional, Default::required,                \
                                               Published::positional))                        \
    X(named_universe, attribute("_named_universe").init().entry(1, positional, Default::none,  \
                                                                 Published::keyword))         \
    X(universe_rule_id, attribute("_universe_rule_id"))                                        \
    X(expression_type, attribute("_expression_type").init())                                   \
    X(metaparameters, attribute("_metaparameters").init(Default::none)                         \
                          .entry(5, keyword, Default::none, Published::keyword))              \
    X(include_correlation, attribute("_include_correlation").init(Default::true_)              \
                               .entry(6, keyword, Default::true_, Published::keyword))        \
    X(include_mi, attribute("_include_mi").init(Default::true_)                                \
                      .entry(7, keyword, Default::true_, Published::keyword))                 \
    X(record, attribute("_record").init(Default::true_)                                        \
                  .entry(8, keyword, Default::true_, Published::keyword))                     \
    X(return_series, attribute("_return_series").init(Default::false_)                         \
                         .entry(9, keyword, Default::false_, Published::keyword))             \
    X(return_weights, attribute("_return_weights").init(Default::false_)                       \
                          .entry(10, keyword, Default::false_, Published::keyword))           \
    X(selected_pool_id, attribute("_selected_pool_id").init(Default::none)                     \
                            .entry(4, keyword, Default::none, Published::keyword_required)    \
                            .pool())                                                          \
    X(selected_pool_kind, attribute("_selected_pool_kind").init(Default::none))                \
    X(fail_fast, attribute("_fail_fast").init(Default::true_)                                  \
                     .entry(11, keyword, Default::true_, Published::keyword))                 \
    X(lock, attribute("_lock"))                                                                \
    X(status, attribute("_status"))                                                            \
    X(result, attribute("_result"))                                                            \
    X(error, attribute("_error"))                                                              \
    X(cancelled, attribute("_cancelled"))                                                      \
    X(done_event, attribute("_done_event"))                                                    \
    X(start_time, attribute("_start_time"))                                                    \
    X(acquired, attribute("_acquired"))                                                        \
    X(pending_recording, attribute("_pending_recording"))                                      \
    X(result_retrieved, attribute("_result_retrieved"))                                        \
    X(pipeline_acquired, attribute("_pipeline_acquired"))                                      \
    X(released, attribute("_released"))                                                        \
    X(acquire_done, attribute("_acquire_done"))                                                \
    X(post_acquire_gate, attribute("_post_acquire_gate"))                                      \
    X(thread, attribute("_thread"))                                                            \
    X(config_era_number, attribute("_config_era_number"))                                      \
    /* accepted by the entry points, not used: a run's era comes from the era config */       \
    X(market_id, attribute("_market_id").not_a_field()                                         \
                     .entry(2, keyword, Default::none, Published::hidden))                    \
    X(era_number, attribute("_era_number").not_a_field()                                       \
                      .entry(3, keyword, Default::none, Published::hidden))

enum class Field : int {
#define SIMSIG_ATTRIBUTE_ID(id, row) id,
    SIMSIG_HANDLE_ATTRIBUTES(SIMSIG_ATTRIBUTE_ID)
#undef SIMSIG_ATTRIBUTE_ID
};

constexpr HandleAttribute kHandleAttributes[] = {
#define SIMSIG_ATTRIBUTE_ROW(id, row) row,
    SIMSIG_HANDLE_ATTRIBUTES(SIMSIG_ATTRIBUTE_ROW)
#undef SIMSIG_ATTRIBUTE_ROW
};
constexpr int kAttributeCount = int(sizeof(kHandleAttributes) / sizeof(kHandleAttributes[0]));

constexpr int count_fields() {
    int n = 0;
    while (n < kAttributeCount && kHandleAttributes[n].is_field)
        ++n;
    for (int i = n; i < kAttributeCount; ++i)
        if (kHandleAttributes[i].is_field)
            return -1;
    return n;
}
// The fields come first; the entry-point-only rows after them.
constexpr int kFieldCount = count_fields();
static_assert(kFieldCount > 0, "every field row comes before the entry-point-only rows");

constexpr const HandleAttribute &row_of(Field f) { return kHandleAttributes[int(f)]; }

// The last field a constructor parameter fills; the fields after it hold the
// run's state.
constexpr int kLastParameterField = [] {
    int last = -1;
    for (int i = 0; i < kFieldCount; ++i)
        if (kHandleAttributes[i].init_parameter)
            last = i;
    return last;
}();

// The argument index of f's parameter in SimulationHandle.__init__ (self is
// 0), or 0 when f is no parameter of it.
constexpr size_t init_position(Field f) {
    if (!row_of(f).init_parameter)
        return 0;
    size_t index = 1;
    for (int i = 0; i < int(f); ++i)
        index += kHandleAttributes[i].init_parameter;
    return index;
}
consteval size_t init_index(Field f) {
    if (init_position(f) == 0)
        throw "not a parameter of SimulationHandle.__init__";
    return init_position(f);
}

// The argument index of f's parameter in the entry points.
consteval size_t entry_index(Field f) {
    if (row_of(f).entry_place < 0)
        throw "not an entry-point parameter";
    return size_t(row_of(f).entry_place);
}

constexpr int kEntryParameterCount = [] {
    int n = 0;
    for (const HandleAttribute &row : kHandleAttributes)
        n += row.entry_place >= 0;
    return n;
}();

// The rows of the entry points' parameters, in their order.
inline const HandleAttribute &entry_row(int place) {
    for (const HandleAttribute &row : kHandleAttributes)
        if (row.entry_place == place)
            return row;
    return kHandleAttributes[0];  // unreachable for 0 <= place < kEntryParameterCount
}

inline nb::handle default_object(Default d) {
    return d == Default::true_ ? true_() : d == Default::false_ ? false_() : none();
}

} // namespace simsig
