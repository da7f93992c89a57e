"""What the API pages teach beyond the binding rows' one-line descriptions.

The descriptions in the stubs are fixed texts (they are also the docstrings);
here live what each class is for, which the class pages open with and the
summary tables show, and short examples of members. `stub_api` adds both
when it writes the pages; tests/python/test_docs_api.py runs every example
as a doctest (one namespace per class, in the order below, after SETUP).
"""

SETUP = ("import numpy as np\nfrom kestrum_py import AngleRadians, KdTree, Mat3, Quat, QuatList, RigidTransform, Vec3d, "
         "VecList, geo, icp")

# What each class is for, by its qualified name on the pages.
PURPOSE = {
    "AngleDegrees": "An angle in degrees, typed so that degrees and radians cannot be mixed up; "
                    "converts to AngleRadians, which the rotation members take.",
    "AngleRadians": "An angle in radians, typed: what Quat.from_axis_angle takes and angle_to returns, "
                    "with the usual constants (pi, half_pi, ...).",
    "Quat": "One rotation, as a unit quaternion: rotate vectors, compose, interpolate, and convert to "
            "and from matrices, rotation vectors and Euler angles. For many rotations use QuatList.",
    "VecList": "Many 3-D points or vectors in one contiguous block: bulk arithmetic, normalising, "
               "rotating and searching on the worker pool, shared with numpy without a copy.",
    "Vec3d": "One 3-D point or vector of doubles: arithmetic, dot and cross products, lengths, "
             "distances and projections, each fixed to the last bit.",
    "KdTree": "An exact spatial index over a fixed set of points: the nearest point, the k nearest or "
              "every point within a radius, for one query or many at once on the worker pool, with "
              "the answers of a brute-force search.",
    "QuatList": "Many rotations in one contiguous block, for poses, trajectories and averages: every "
                "Quat operation applied to all of them per call on the worker pool, each element the "
                "same bits as the Quat method.",
    "Mat3": "An immutable 3x3 matrix of doubles, for rotation matrices and other linear maps met at "
            "the border with other libraries: matrix products with vectors and matrices, transpose, "
            "and a (3, 3) buffer for numpy.",
    "VecListIterator": "What iter(vec_list) returns: the Vec3d elements of a snapshot taken when "
                       "iteration began, so changing the list meanwhile does not disturb it.",
    "QuatListIterator": "What iter(quat_list) returns: the Quat elements of a snapshot taken when "
                        "iteration began, so changing the list meanwhile does not disturb it.",
    "Array": "What the bulk queries and conversions return: a read-only block of int64 or float64 "
             "numbers of 1 to 3 axes, indexed, iterated and listed without numpy, and wrapped by "
             "numpy.asarray without a copy.",
    "ArrayIterator": "What iter(array) returns: the numbers of a 1-D Array, or the rows of a larger one.",
    "RigidTransform": "A rigid motion (a rotation, then a translation) for poses, scan registration and "
                      "frames: apply it to points in bulk, compose, invert, fit one to point pairs, and "
                      "convert to and from 4x4 homogeneous matrices.",
    "IcpResult": "What icp returns: the fitted RigidTransform, its rmse over the matched pairs, the "
                 "share of source points matched, the iterations run and whether it converged.",
    "geometry.Plane": "An oriented plane (unit normal and signed distance from the origin): "
                      "containment and distance tests, and the plane of a circle or of three points.",
    "geometry.Circle": "A circle in 3-D (centre, radius, unit normal): point tests and the crossings "
                       "of coplanar circles.",
}

# Short runnable examples: (class, member) -> doctest text; member None is the
# class's own example, shown under its description. ("geo", name) is a
# function of the geo submodule.
EXAMPLES = {
    ('KdTree', None): """\
>>> tree = KdTree([[0, 0, 0], [1, 0, 0], [0, 2, 0], [5, 5, 5]])
>>> tree, len(tree)
(KdTree(4 points), 4)
""",
    ('KdTree', 'nearest'): """\
>>> tree.nearest(Vec3d(0.9, 0.1, 0))
(1, 0.1414213562373095)
>>> tree.nearest([4, 4, 4])
(3, 1.7320508075688772)
""",
    ('KdTree', 'nearest_many'): """\
>>> idx, dist = tree.nearest_many([[0.9, 0, 0], [0, 1.8, 0]], 2)
>>> idx.tolist(), np.asarray(dist).round(3).tolist()
([[1, 0], [2, 0]], [[0.1, 0.9], [0.2, 1.8]])
>>> idx[1], idx[1, 0], idx[:, 0].tolist()
(Array([2, 0], int64), 2, [1, 2])
>>> tree.nearest_many([[0.9, 0, 0]], 2, max_distance=0.5)[0].tolist()
[[1, 4]]
""",
    ('KdTree', 'within'): """\
>>> tree.within(Vec3d(0, 0, 0), 1.5).tolist()
[0, 1]
""",
    ('KdTree', 'within_many'): """\
>>> offsets, indices = tree.within_many([[0, 0, 0], [5, 5, 4], [9, 9, 9]], 1.5)
>>> offsets.tolist(), indices.tolist()
([0, 2, 3, 3], [0, 1, 3])
>>> np.asarray(indices)[offsets[0]:offsets[1]].tolist()
[0, 1]
""",
    ('KdTree', 'count_within'): """\
>>> tree.count_within([[0, 0, 0], [5, 5, 4]], 1.5).tolist()
[2, 1]
""",
    ('KdTree', 'pairs_within'): """\
>>> tree.pairs_within(2.0).tolist()
[[0, 1], [0, 2]]
""",
    ('KdTree', 'normals'): """\
>>> grid = KdTree([[x, y, 0.01 * ((x * 7 + y * 3) % 5)] for x in range(5) for y in range(5)])
>>> grid.normals(k=8)[12]
Vec3d(0.0016671807097349647, -0.0016671807097349643, 0.9999972205046184)
""",
    ('KdTree', 'normals_and_curvature'): """\
>>> normals, curvature = grid.normals_and_curvature(k=8, toward=Vec3d(0, 0, -10))
>>> normals[12], round(curvature[12], 6)
(Vec3d(-0.0016671807097349647, 0.0016671807097349643, -0.9999972205046184), 0.00012)
""",
    ('KdTree', 'points'): """\
>>> tree.points[3]
Vec3d(5, 5, 5)
""",
    ('QuatList', None): """\
>>> turn = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
>>> ql = QuatList([Quat.identity(), turn])
>>> len(ql), ql[1]
(2, Quat(0.7071067811865476, -0, -0, -0.7071067811865475))
""",
    ('QuatList', 'empty'): """\
>>> QuatList.empty(), len(QuatList.empty())
([], 0)
""",
    ('QuatList', 'from_array'): """\
>>> QuatList.from_array(np.array([[1.0, 0, 0, 0], [0, 1.0, 0, 0]]))
[Quat(1, 0, 0, 0)
Quat(0, 1, 0, 0)]
""",
    ('QuatList', 'append'): """\
>>> grown = QuatList([Quat.identity()])
>>> grown.append(turn)
>>> len(grown)
2
""",
    ('QuatList', 'extend'): """\
>>> grown.extend(ql)
>>> len(grown)
4
""",
    ('QuatList', 'rotate'): """\
>>> ql.rotate(Vec3d.i())
[Vec3d(1, 0, 0)
Vec3d(0.0000000000000002220446049250313, 1, 0)]
>>> ql.rotate(VecList([Vec3d.i(), Vec3d.j()]))
[Vec3d(1, 0, 0)
Vec3d(-1, 0.0000000000000002220446049250313, 0)]
""",
    ('QuatList', 'conjugate'): """\
>>> ql.conjugate()[1]
Quat(0.7071067811865476, 0, 0, 0.7071067811865475)
""",
    ('QuatList', 'normalize'): """\
>>> QuatList([Quat(2, 0, 0, 0)]).normalize()[0]
Quat(1, 0, 0, 0)
""",
    ('QuatList', 'magnitude'): """\
>>> QuatList([Quat(2, 0, 0, 0), Quat(0, 3, 4, 0)]).magnitude().tolist()
[2.0, 5.0]
""",
    ('QuatList', 'then'): """\
>>> ql.then(turn).rotate(Vec3d.i())
[Vec3d(0.0000000000000002220446049250313, 1, 0)
Vec3d(-1, 0.0000000000000004440892098500626, 0)]
""",
    ('QuatList', 'inverse'): """\
>>> ql.inverse().rotate(Vec3d.j())
[Vec3d(0, 1, 0)
Vec3d(1, 0.0000000000000002220446049250313, 0)]
""",
    ('QuatList', 'angle_to'): """\
>>> np.degrees(ql.angle_to(Quat.identity())).tolist()
[0.0, 90.0]
""",
    ('QuatList', 'slerp'): """\
>>> ql.slerp(Quat.identity(), 0.5).angle_to(Quat.identity()).tolist()
[0.0, 0.7853981633974482]
""",
    ('QuatList', 'slerp_path'): """\
>>> path = QuatList.slerp_path(Quat.identity(), turn, [0.0, 0.5, 1.0])
>>> np.degrees(path.angle_to(Quat.identity())).round(9).tolist()
[0.0, 45.0, 90.0]
""",
    ('QuatList', 'as_matrix'): """\
>>> m = np.asarray(ql.as_matrix())
>>> m.shape, m[1].round(12).tolist()
((2, 3, 3), [[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])
""",
    ('QuatList', 'from_matrix'): """\
>>> QuatList.from_matrix(m)[1]
Quat(0.7071067811865477, 0, 0, -0.7071067811865475)
""",
    ('QuatList', 'as_rotvec'): """\
>>> ql.as_rotvec()
[Vec3d(0, 0, 0)
Vec3d(0, 0, 1.5707963267948963)]
""",
    ('QuatList', 'from_rotvec'): """\
>>> QuatList.from_rotvec([[0, 0, np.pi / 2], [np.pi, 0, 0]]).rotate(Vec3d.i())
[Vec3d(0.0000000000000002220446049250313, 1, 0)
Vec3d(1, 0, 0)]
""",
    ('QuatList', 'as_euler'): """\
>>> (np.degrees(ql.as_euler("ZYX")).round(9) + 0.0).tolist()
[[0.0, 0.0, 0.0], [90.0, 0.0, 0.0]]
""",
    ('QuatList', 'from_euler'): """\
>>> QuatList.from_euler("ZYX", np.radians([[90.0, 0, 0], [0, 0, 90.0]])).rotate(Vec3d.j())
[Vec3d(-1, 0.0000000000000002220446049250313, 0)
Vec3d(0, 0.0000000000000002220446049250313, 1)]
""",
    ('QuatList', 'mean'): """\
>>> QuatList.from_rotvec([[0, 0, 0.1], [0, 0, 0.3]]).mean().as_rotvec()
Vec3d(0, 0, 0.2)
""",
    ('RigidTransform', None): """\
>>> t = RigidTransform(Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()), Vec3d(1, 0, 0))
>>> t.apply(Vec3d(1, 0, 0))
Vec3d(1.0000000000000002, 1, 0)
>>> t.rotation.rotate(Vec3d(1, 0, 0)) + t.translation
Vec3d(1.0000000000000002, 1, 0)
""",
    ('RigidTransform', 'identity'): """\
>>> RigidTransform.identity().apply(Vec3d(1, 2, 3))
Vec3d(1, 2, 3)
""",
    ('RigidTransform', 'apply'): """\
>>> t.apply(VecList([Vec3d(0, 0, 0), Vec3d(0, 1, 0)]))
[Vec3d(1, 0, 0)
Vec3d(0, 0.0000000000000002220446049250313, 0)]
""",
    ('RigidTransform', 'then'): """\
>>> t.then(t).apply(Vec3d(0, 0, 0))
Vec3d(1.0000000000000002, 1, 0)
""",
    ('RigidTransform', 'inverse'): """\
>>> t.inverse().apply(t.apply(Vec3d(1, 2, 3)))
Vec3d(1.0000000000000002, 2, 3)
""",
    ('RigidTransform', 'as_matrix'): """\
>>> np.asarray(t.as_matrix()).round(12).tolist()
[[0.0, -1.0, 0.0, 1.0], [1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
""",
    ('RigidTransform', 'from_matrix'): """\
>>> RigidTransform.from_matrix(t.as_matrix()).apply(Vec3d(1, 0, 0))
Vec3d(1.0000000000000004, 1.0000000000000002, 0)
""",
    ('RigidTransform', 'align'): """\
>>> grid = VecList([Vec3d(x, y, 0.1 * x * y) for x in range(6) for y in range(6)])
>>> fit, rmsd = RigidTransform.align(grid, t.apply(grid))
>>> fit.translation, rmsd < 1e-14
(Vec3d(1, -0.0000000000000004440892098500626, -0.00000000000000011102230246251565), True)
""",
    ('RigidTransform', 'rotation'): """\
>>> t.rotation
Quat(0.7071067811865476, -0, -0, -0.7071067811865475)
""",
    ('RigidTransform', 'translation'): """\
>>> t.translation
Vec3d(1, 0, 0)
""",
    ('IcpResult', None): """\
>>> grid = VecList([Vec3d(x, y, 0.1 * x * y) for x in range(6) for y in range(6)])
>>> small = RigidTransform(Quat.from_axis_angle(Vec3d.k(), AngleRadians(0.05)), Vec3d(0.1, 0, 0))
>>> result = icp(grid, small.apply(grid), 1.0)
>>> result.fitness, result.converged, result.rmse < 1e-12
(1.0, True, True)
""",
    ('Mat3', None): """\
>>> m = Mat3([[0, -1, 0], [1, 0, 0], [0, 0, 1]])
>>> m @ Vec3d(1, 2, 3)
Vec3d(-2, 1, 3)
>>> m[0], m[0, 1], len(m)
([0.0, -1.0, 0.0], -1.0, 3)
>>> np.asarray(m).shape
(3, 3)
""",
    ('Mat3', 'tolist'): """\
>>> m.tolist()
[[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]
""",
    ('Mat3', 'transpose'): """\
>>> m.transpose() @ Vec3d(1, 2, 3)
Vec3d(2, -1, 3)
>>> (m @ m.transpose()) == Mat3([[1, 0, 0], [0, 1, 0], [0, 0, 1]])
True
""",
    ("geo", "from_lat_lon"): """\
>>> geo.from_lat_lon(90, 0)
Vec3d(0, 0, 1)
>>> geo.from_lat_lon([0.0, 45.0], 180.0)
[Vec3d(-1, 0, 0)
Vec3d(-0.7071067811865476, 0, 0.7071067811865475)]
>>> geo.from_lat_lon(np.pi / 4, 0, degrees=False)
Vec3d(0.7071067811865476, 0, 0.7071067811865475)
""",
    ("geo", "to_lat_lon"): """\
>>> geo.to_lat_lon(Vec3d(0, 1, 1))
(45.0, 90.0)
>>> lat, lon = geo.to_lat_lon(geo.from_lat_lon([10.0, -20.0], [30.0, 190.0]))
>>> np.asarray(lat).round(12).tolist(), np.asarray(lon).round(12).tolist()
([10.0, -20.0], [30.0, -170.0])
""",
    ("geo", "arc_to_chord"): """\
>>> R = 6371.0088
>>> geo.arc_to_chord(100 / R)
0.015695940252272313
>>> geo.arc_to_chord([0.0, np.pi / 2, np.pi]).tolist()
[0.0, 1.414213562373095, 2.0]
""",
    ("geo", "chord_to_arc"): """\
>>> geo.chord_to_arc(geo.arc_to_chord(100 / R)) * R
100.0
>>> geo.chord_to_arc(2.0000000000000004)
3.141592653589793
""",
    ("geo", "great_circle"): """\
>>> geo.great_circle(geo.from_lat_lon(51.5074, -0.1278), geo.from_lat_lon(48.8566, 2.3522)) * R
343.5565348808832
>>> geo.great_circle([1, 0, 0], VecList([Vec3d(0, 2, 0), Vec3d(-1, 0, 0)])).tolist()
[1.5707963267948966, 3.141592653589793]
""",
}

# Members whose results are arrays: their shape and dtype, said in words.
RESULTS = {
    ("KdTree", "nearest_many"): "Returns an (m, k) int64 buffer of indices and an (m, k) float64 buffer of "
                                "distances, nearest first, for m queries.",
    ("KdTree", "within"): "Returns an (n,) int64 buffer of indices, ascending.",
    ("KdTree", "within_many"): "Returns CSR form: an (m + 1,) int64 buffer of offsets and an int64 buffer "
                               "of indices; query r's are indices[offsets[r]:offsets[r + 1]].",
    ("QuatList", "magnitude"): "Returns an (n,) float64 buffer.",
    ("QuatList", "angle_to"): "Returns an (n,) float64 buffer of radians.",
    ("QuatList", "as_matrix"): "Returns an (n, 3, 3) float64 buffer.",
    ("QuatList", "as_euler"): "Returns an (n, 3) float64 buffer of radians.",
    ("geo", "to_lat_lon"): "For many points, returns two (n,) float64 buffers.",
    ("geo", "arc_to_chord"): "For many angles, returns an (n,) float64 buffer.",
    ("geo", "chord_to_arc"): "For many chords, returns an (n,) float64 buffer.",
    ("geo", "great_circle"): "For lists, returns an (n,) float64 buffer.",
}
