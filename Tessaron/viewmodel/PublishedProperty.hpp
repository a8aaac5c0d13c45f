#pragma once

// The property boilerplate of the view models. Each macro declares a real
// Q_PROPERTY with its change signal; the owning class defines
// `using Self = <class>;` and a member template
// `publish(field, value, signal)` that stores, signals and refreshes the
// derived values only when the value really changes.

// A stored property with its getter, its setter (through publish()), its
// signal and its field with the initial value.
#define TESSARON_PUBLISHED(Type, name, Name, initial)                                       \
    Q_PROPERTY(Type name READ name WRITE set##Name NOTIFY name##Changed)                   \
public:                                                                                      \
    const Type& name() const { return name##_; }                                            \
    void set##Name(const Type& value) { publish(name##_, value, &Self::name##Changed); }    \
    Q_SIGNAL void name##Changed();                                                          \
                                                                                             \
private:                                                                                     \
    Type name##_ = initial;

// A stored property whose setter does more than store (a clamp, an
// observer); the class defines set<Name>() itself.
#define TESSARON_PUBLISHED_OBSERVED(Type, name, Name, initial)                              \
    Q_PROPERTY(Type name READ name WRITE set##Name NOTIFY name##Changed)                   \
public:                                                                                      \
    const Type& name() const { return name##_; }                                            \
    void set##Name(const Type& value);                                                      \
    Q_SIGNAL void name##Changed();                                                          \
                                                                                             \
private:                                                                                     \
    Type name##_ = initial;

// A value computed from stored properties; the class defines the getter.
// Its signal fires when a change of the stored values changes its result.
#define TESSARON_DERIVED(Type, name)                                                        \
    Q_PROPERTY(Type name READ name NOTIFY name##Changed)                                    \
public:                                                                                      \
    Type name() const;                                                                      \
    Q_SIGNAL void name##Changed();                                                          \
                                                                                             \
private:

// A stored value the object alone writes (through publish()); views read it.
#define TESSARON_PUBLISHED_READONLY(Type, name, initial)                                    \
    Q_PROPERTY(Type name READ name NOTIFY name##Changed)                                    \
public:                                                                                      \
    const Type& name() const { return name##_; }                                            \
    Q_SIGNAL void name##Changed();                                                          \
                                                                                             \
private:                                                                                     \
    Type name##_ = initial;

// A stored property kept as the field of the same name in the class's
// `settings_` value (a RunSettings): read and written one field at a time,
// handed on as a whole.
#define TESSARON_PUBLISHED_SETTING(Type, name, Name)                                        \
    Q_PROPERTY(Type name READ name WRITE set##Name NOTIFY name##Changed)                   \
public:                                                                                      \
    const Type& name() const { return settings_.name; }                                     \
    void set##Name(const Type& value) { publish(settings_.name, value, &Self::name##Changed); } \
    Q_SIGNAL void name##Changed();                                                          \
                                                                                             \
private:

// The same with a setter of the class's own (a clamp, an observer).
#define TESSARON_PUBLISHED_SETTING_OBSERVED(Type, name, Name)                               \
    Q_PROPERTY(Type name READ name WRITE set##Name NOTIFY name##Changed)                   \
public:                                                                                      \
    const Type& name() const { return settings_.name; }                                     \
    void set##Name(const Type& value);                                                      \
    Q_SIGNAL void name##Changed();                                                          \
                                                                                             \
private:
