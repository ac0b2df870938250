"""Textbook physics with the units of every variable.

Equations from introductory mechanics, electromagnetism, thermodynamics, waves, optics and
quantum physics, written over x0, x1, ... with each variable's units as a mapping from SI base
dimensions (m, kg, s, A, K, mol) to exponents. Physical constants (G, h, k_B, epsilon_0, ...) are
variables with their units, as a scientist would enter them from a table of measurements; numbers
such as 2, pi or 1/2 are left for the search to find. Ranges keep every quantity positive and every
formula real and finite; angles are in radians and dimensionless.
"""

from __future__ import annotations

Units = dict[str, float]


def u(**exponents: float) -> Units:
    return dict(exponents)


DIMENSIONLESS: Units = {}
LENGTH = u(m=1)
MASS = u(kg=1)
TIME = u(s=1)
SPEED = u(m=1, s=-1)
ACCELERATION = u(m=1, s=-2)
FREQUENCY = u(s=-1)
FORCE = u(kg=1, m=1, s=-2)
ENERGY = u(kg=1, m=2, s=-2)
POWER = u(kg=1, m=2, s=-3)
PRESSURE = u(kg=1, m=-1, s=-2)
AREA = u(m=2)
VOLUME = u(m=3)
DENSITY = u(kg=1, m=-3)
TEMPERATURE = u(K=1)
CHARGE = u(A=1, s=1)
CURRENT = u(A=1)
VOLTAGE = u(kg=1, m=2, s=-3, A=-1)
RESISTANCE = u(kg=1, m=2, s=-3, A=-2)
CAPACITANCE = u(kg=-1, m=-2, s=4, A=2)
PERMITTIVITY = u(kg=-1, m=-3, s=4, A=2)
PERMEABILITY = u(kg=1, m=1, s=-2, A=-2)
MAGNETIC_FIELD = u(kg=1, s=-2, A=-1)
ELECTRIC_FIELD = u(kg=1, m=1, s=-3, A=-1)
GRAVITATION = u(m=3, kg=-1, s=-2)
PLANCK = u(kg=1, m=2, s=-1)
BOLTZMANN = u(kg=1, m=2, s=-2, K=-1)
GAS_CONSTANT = u(kg=1, m=2, s=-2, K=-1, mol=-1)
AMOUNT = u(mol=1)
SPRING = u(kg=1, s=-2)
VISCOSITY = u(kg=1, m=-1, s=-1)
LINEAR_DENSITY = u(kg=1, m=-1)
DAMPING = u(kg=1, s=-1)
ENERGY_DENSITY = u(kg=1, m=-1, s=-2)
CONDUCTIVITY = u(kg=1, m=1, s=-3, K=-1)
STEFAN = u(kg=1, s=-3, K=-4)
WAVENUMBER = u(m=-1)
RADIANCE = u(kg=1, s=-2)  # spectral radiance per frequency: W m^-2 sr^-1 Hz^-1

_P = (1.0, 5.0)

# name: (truth over x0.., ranges, units of x0.., units of the target)
TEXTBOOK = {
    "gravitation": ("x0*x1*x2/x3**2", (_P, _P, _P, _P),
                    (GRAVITATION, MASS, MASS, LENGTH), FORCE),
    "spring-energy": ("x0*x1**2/2", (_P, _P), (SPRING, LENGTH), ENERGY),
    "projectile-range": ("x0**2*sin(2*x1)/x2", (_P, (0.1, 1.4), _P),
                         (SPEED, DIMENSIONLESS, ACCELERATION), LENGTH),
    "projectile-height": ("x0**2*sin(x1)**2/(2*x2)", (_P, (0.1, 1.5), _P),
                          (SPEED, DIMENSIONLESS, ACCELERATION), LENGTH),
    "spring-period": ("2*pi*sqrt(x0/x1)", (_P, _P), (MASS, SPRING), TIME),
    "escape-speed": ("sqrt(2*x0*x1/x2)", (_P, _P, _P), (GRAVITATION, MASS, LENGTH), SPEED),
    "kepler-period": ("2*pi*sqrt(x0**3/(x1*x2))", (_P, _P, _P),
                      (LENGTH, GRAVITATION, MASS), TIME),
    "damped-oscillation": ("x0*exp(-x1*x2/(2*x3))*cos(x4*x2)",
                           (_P, (0.1, 1.0), (0.0, 3.0), _P, (0.5, 2.0)),
                           (LENGTH, DAMPING, TIME, MASS, FREQUENCY), LENGTH),
    "doppler-source": ("x0*x1/(x1 - x2)", (_P, (10.0, 20.0), _P),
                       (FREQUENCY, SPEED, SPEED), FREQUENCY),
    "capacitor-energy": ("x0*x1**2/2", (_P, _P), (CAPACITANCE, VOLTAGE), ENERGY),
    "plate-capacitance": ("x0*x1/x2", (_P, _P, _P), (PERMITTIVITY, AREA, LENGTH), CAPACITANCE),
    "joule-heating": ("x0**2/x1", (_P, _P), (VOLTAGE, RESISTANCE), POWER),
    "parallel-resistors": ("x0*x1/(x0 + x1)", (_P, _P), (RESISTANCE, RESISTANCE), RESISTANCE),
    "rc-discharge": ("x0*exp(-x1/(x2*x3))", (_P, _P, _P, _P),
                     (VOLTAGE, TIME, RESISTANCE, CAPACITANCE), VOLTAGE),
    "wire-field": ("x0*x1/(2*pi*x2)", (_P, _P, _P), (PERMEABILITY, CURRENT, LENGTH),
                   MAGNETIC_FIELD),
    "cyclotron-radius": ("x0*x1/(x2*x3)", (_P, _P, _P, _P), (MASS, SPEED, CHARGE, MAGNETIC_FIELD),
                         LENGTH),
    "coulomb-energy": ("x0*x1/(4*pi*x2*x3)", (_P, _P, _P, _P),
                       (CHARGE, CHARGE, PERMITTIVITY, LENGTH), ENERGY),
    "gas-pressure": ("x0*x1*x2/x3", (_P, _P, _P, _P), (AMOUNT, GAS_CONSTANT, TEMPERATURE, VOLUME),
                     PRESSURE),
    "rms-speed": ("sqrt(3*x0*x1/x2)", (_P, _P, _P), (BOLTZMANN, TEMPERATURE, MASS), SPEED),
    "stefan-boltzmann": ("x0*x1*x2**4", (_P, _P, _P), (STEFAN, AREA, TEMPERATURE), POWER),
    "heat-conduction": ("x0*x1*(x2 - x3)/x4", (_P, _P, (6.0, 10.0), _P, _P),
                        (CONDUCTIVITY, AREA, TEMPERATURE, TEMPERATURE, LENGTH), POWER),
    "carnot-efficiency": ("1 - x0/x1", ((1.0, 4.0), (5.0, 10.0)), (TEMPERATURE, TEMPERATURE),
                          DIMENSIONLESS),
    "thin-lens": ("x0*x1/(x0 + x1)", (_P, _P), (LENGTH, LENGTH), LENGTH),
    "de-broglie": ("x0/(x1*x2)", (_P, _P, _P), (PLANCK, MASS, SPEED), LENGTH),
    "rydberg": ("x0*(1/x1**2 - 1/x2**2)", (_P, (1.0, 2.0), (3.0, 5.0)),
                (WAVENUMBER, DIMENSIONLESS, DIMENSIONLESS), WAVENUMBER),
    "bernoulli": ("x0 + x1*(x2**2 - x3**2)/2", (_P, _P, _P, _P),
                  (PRESSURE, DENSITY, SPEED, SPEED), PRESSURE),
    "compton-shift": ("x0*(1 - cos(x3))/(x1*x2)", (_P, _P, _P, (0.0, 3.0)),
                      (PLANCK, MASS, SPEED, DIMENSIONLESS), LENGTH),
    "isothermal-work": ("x0*x1*x2*log(x3/x4)", (_P, _P, _P, (5.0, 10.0), (1.0, 4.0)),
                        (AMOUNT, GAS_CONSTANT, TEMPERATURE, VOLUME, VOLUME), ENERGY),
    "cylinder-rotation": ("x0*x1**2*x2**2/4", (_P, _P, _P), (MASS, LENGTH, FREQUENCY), ENERGY),
    "string-harmonic": ("x0*sqrt(x2/x3)/(2*x1)", (_P, _P, _P, _P),
                        (DIMENSIONLESS, LENGTH, FORCE, LINEAR_DENSITY), FREQUENCY),
    "planck-radiance": ("2*x0*x1**3/(x2**2*(exp(x0*x1/(x3*x4)) - 1))",
                        (_P, _P, _P, _P, (2.0, 5.0)),
                        (PLANCK, FREQUENCY, SPEED, BOLTZMANN, TEMPERATURE), RADIANCE),
    "poiseuille-flow": ("pi*x0**4*x1/(8*x2*x3)", (_P, _P, _P, _P),
                        (LENGTH, PRESSURE, VISCOSITY, LENGTH), u(m=3, s=-1)),
    "drag-force": ("x0*x1**2*x2*x3/2", (_P, _P, _P, _P),
                   (DENSITY, SPEED, DIMENSIONLESS, AREA), FORCE),
    "fall-distance": ("x0*x1 + x2*x1**2/2", (_P, _P, _P), (SPEED, TIME, ACCELERATION), LENGTH),
    "schwarzschild-radius": ("2*x0*x1/x2**2", (_P, _P, (5.0, 10.0)),
                             (GRAVITATION, MASS, SPEED), LENGTH),
    "field-energy-density": ("x0*x1**2/2 + x2**2/(2*x3)", (_P, _P, _P, _P),
                             (PERMITTIVITY, ELECTRIC_FIELD, MAGNETIC_FIELD, PERMEABILITY),
                             ENERGY_DENSITY),
}
